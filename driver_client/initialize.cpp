// _Initialize: the session handshake (session/handshake.h) as the client reports
// it. Each failure has its text and status, and its own rules for telling the
// driver to drop the session and for restoring the last-error value.

#include "crypto/wipe.h"
#include "common/le_bytes.h"
#include "driver_client/misc_common.h"
#include "session/handshake.h"

namespace MiscCommon {

namespace {

struct OutcomeRow {
    const char* text;  // null: not a failure
    MiscStatus status;
    bool closeSession;
    bool restoreError;
};

// Indexed by session::HandshakeOutcome.
const OutcomeRow kOutcomeRows[] = {
    {nullptr, MISC_SUCCESS, false, false},  // keyed
    {nullptr, MISC_SUCCESS, false, false},  // plain mode
    {"_Initialize: hdrand_init failed", MISC_FAILED, false, false},
    {"_Initialize: hdrand_test failed 16 times", MISC_FAILED, false, false},
    {"_Initialize: pow2mod failed.", MISC_FAILED, false, false},
    {"_Initialize: DeviceIoControl failed.", MISC_FAILED, false, true},
    {"_Initialize: HeapAlloc (phase2) failed.", MISC_NO_MEMORY, true, true},
    {"_Initialize: DeviceIoControl (phase2) failed.", MISC_FAILED, true, true},
    {"_Initialize: Driver Authentication Failed.", MISC_NOT_FOUND, true, false},
    {"_Initialize: Key Encryption Key calculation failed.", MISC_NOT_FOUND, true, false},
    {"_Initialize: HeapAlloc (phase3) failed.", MISC_NO_MEMORY, true, true},
    {"_Initialize: BlowfishInitialize (1st time) failed.", MISC_FAILED, true, false},
    {"_Initialize: BlowfishEncipher failed.", MISC_FAILED, true, false},
    {"_Initialize: DeviceIoControl (phase3) failed.", MISC_FAILED, true, true},
    {"_Initialize: BlowfishInitialize (2nd time) failed.", MISC_FAILED, true, false},
    {"_Initialize: BlowfishDecipher failed.", MISC_FAILED, true, false},
};
static_assert(sizeof kOutcomeRows / sizeof kOutcomeRows[0] == session::kHandshakeOutcomes,
              "one row for each outcome of the handshake");

}  // namespace

MiscStatus CMiscCommon::_Initialize() {
    session::HandshakeState state;
    const session::HandshakeOutcome outcome = session::Handshake(_hDevice, &state);
    const OutcomeRow& row = kOutcomeRows[static_cast<uint32_t>(outcome)];
    if (outcome == session::HandshakeOutcome::kPlain) {
        EncryptionEnabled = 0;
    } else if (outcome == session::HandshakeOutcome::kKeyed) {
        SessionId = state.sid;
        SessionCipher = state.context;
        SequenceNumber = 0;
    } else {
        _SetErrorText("%s", row.text);
        _EndSession(state.sid, state.haveSid && row.closeSession, state.context);
        if (row.restoreError) {
            platform::SetLastErrorValue(state.savedError);
        }
    }
    return row.status;
}

void CMiscCommon::_EndSession(uint32_t sid, bool tellDriver, BlowfishContext* cipher) {
    if (tellDriver) {
        uint8_t sidBytes[4];
        StoreLe32(sidBytes, sid);
        uint32_t ignored = 0;
        // The driver drops the session with the handle anyway; the result is not needed.
        platform::DeviceControl(_hDevice, IOCTL_MISC_CLOSE_SESSION, sidBytes, sizeof sidBytes,
                                /*outBuffer=*/nullptr, /*outSize=*/0, &ignored);
    }
    if (cipher != nullptr) {
        SecureWipe(cipher, sizeof(BlowfishContext));
        platform::HeapRelease(cipher);
    }
}

}  // namespace MiscCommon
