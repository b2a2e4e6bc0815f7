// Frames, encapsulated requests, the inner requests and the table file.
#include "tools/misc_driver_sim/sim.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "crypto/wipe.h"
#include "driver_client/misc_common.h"
#include "tools/misc_driver_sim/sim_session.h"

namespace misc_sim {

namespace {

using platform::kErrorAccessDenied;
using platform::kErrorGenFailure;
using platform::kErrorInvalidFunction;
using platform::kErrorInvalidParameter;
using platform::kErrorMoreData;

constexpr uint8_t kStatusDone = 0;
constexpr uint8_t kStatusRefused = 1;
constexpr uint8_t kStatusFailed = 2;
constexpr uint8_t kStatusBadRequest = 3;
constexpr uint8_t kStatusBusy = 4;

// Offsets of function 0x0114's request data.
constexpr size_t kSub0Length = 7;
constexpr size_t kSub0Accepted = 6;
constexpr size_t kSub1Length = 124;
constexpr size_t kSub1Accepted = 123;
constexpr size_t kSub2Length = 123;
constexpr size_t kImageInData = 8;  // Prefix and Selector and ImageLength come first
constexpr size_t kImageBytesWritten = 33;
constexpr size_t kTableImageOffset = 4;

Reply Refuse(uint32_t error) {
    Reply reply;
    reply.ok = 0;
    reply.error = error;
    return reply;
}

// The outcome of an inner request before it is put into a capsule.
struct InnerResult {
    bool ok = true;
    uint32_t error = 0;
    std::vector<uint8_t> data;
};

InnerResult InnerFailure(uint32_t error) {
    InnerResult inner;
    inner.ok = false;
    inner.error = error;
    return inner;
}

InnerResult BiosTable(Device* device, const uint8_t* input, uint32_t inputLength,
                      std::string* note) {
    if (inputLength != 2 || LoadLe16(input) != 5) {
        *note = "table: not table 5";
        return InnerFailure(kErrorInvalidParameter);
    }
    InnerResult inner;
    if (!LoadTable(device->config.tablePath, &inner.data)) {
        *note = "table: file unreadable";
        return InnerFailure(kErrorGenFailure);
    }
    const Faults& faults = device->config.faults;
    if (faults.badHeader && inner.data.size() > 3) {
        inner.data[3] = 0x00;
    }
    if (faults.longTable) {
        inner.data.push_back(0xEE);
        inner.data.push_back(0xEE);
    }
    *note = "table " + std::to_string(inner.data.size()) + " bytes";
    return inner;
}

// Subfunction 2: the data must be what subfunction 1 returned; then the image's
// header byte and words replace table bytes 4 to 36 and the table is saved.
uint8_t CommitImage(Device* device, const uint8_t* data, size_t dataLength) {
    Handle& handle = device->handle;
    if (dataLength < kSub2Length || !handle.haveImage ||
        std::memcmp(data, handle.image, kSub2Length) != 0) {
        return kStatusRefused;
    }
    const Faults& faults = device->config.faults;
    std::vector<uint8_t> table;
    if (!LoadTable(device->config.tablePath, &table)) {
        return kStatusFailed;
    }
    if (table.size() < kTableImageOffset + kImageBytesWritten) {
        table.resize(kTableImageOffset + kImageBytesWritten, 0);
    }
    std::memcpy(table.data() + kTableImageOffset, data + kImageInData, kImageBytesWritten);
    if (faults.changedWord) {
        table[kTableImageOffset + kImageBytesWritten - 2] ^= 0x01;  // word 15, low byte
    }
    if (!faults.lostWrite && !SaveTable(device->config.tablePath, table)) {
        return kStatusFailed;
    }
    handle.haveImage = false;
    return kStatusDone;
}

InnerResult MiscFunction(Device* device, const uint8_t* input, uint32_t inputLength,
                         std::string* note) {
    if (inputLength < MISC_PACKET_HEADER_SIZE) {
        *note = "function: short packet";
        return InnerFailure(kErrorInvalidParameter);
    }
    const uint16_t function = LoadLe16(input);
    const uint16_t inLength = LoadLe16(input + 2);
    const uint16_t outLength = LoadLe16(input + 4);
    const uint16_t subfunction = LoadLe16(input + 8);
    if (inLength != inputLength || outLength < MISC_PACKET_HEADER_SIZE) {
        *note = "function: packet lengths disagree";
        return InnerFailure(kErrorInvalidParameter);
    }
    // The reply is the packet itself, as long as its OutLength.
    InnerResult inner;
    inner.data.assign(input, input + inputLength);
    inner.data.resize(outLength, 0);
    uint8_t* data = inner.data.data() + MISC_PACKET_HEADER_SIZE;
    const size_t dataLength = outLength - MISC_PACKET_HEADER_SIZE;
    uint8_t status = kStatusDone;
    Config& config = device->config;
    if (config.busy > 0) {
        --config.busy;
        status = kStatusBusy;
    } else if (function != MISC_FUNCTION_CALIBRATION) {
        status = kStatusRefused;
    } else if (config.faults.statusSubfunction == int(subfunction)) {
        status = config.faults.statusValue;
    } else if (subfunction == 0) {
        if (dataLength < kSub0Length) {
            status = kStatusBadRequest;
        } else {
            data[kSub0Accepted] = 1;
        }
    } else if (subfunction == 1) {
        if (dataLength < kSub1Length) {
            status = kStatusBadRequest;
        } else {
            data[kSub1Accepted] = 1;
            std::memcpy(device->handle.image, data, kSub2Length);
            device->handle.haveImage = true;
        }
    } else if (subfunction == 2) {
        status = CommitImage(device, data, dataLength);
    } else {
        status = kStatusRefused;
    }
    inner.data[0] = status;
    char text[64];
    std::snprintf(text, sizeof text, "function 0x%04x/%u status %u", function, subfunction, status);
    *note = text;
    return inner;
}

// An encapsulated request as the driver reads it out of its capsule.
struct InnerRequest {
    uint32_t sessionId = 0;
    uint32_t sequence = 0;
    uint32_t code = 0;
    std::vector<uint8_t> input;
};

// The capsule's sizes, session and sequence checked and its payload deciphered;
// false, with the note saying why, when the driver refuses the capsule.
bool OpenCapsule(Device* device, const Request& request, InnerRequest* inner, std::string* note) {
    Handle& handle = device->handle;
    const bool secure = device->config.encryption;
    if (secure && handle.phase != Phase::Established) {
        *note = "capsule: no session";
        return false;
    }
    const size_t inSize = request.input.size();
    if (inSize < MiscCommon::CapsuleSizeFor(0)) {
        *note = "capsule: too short";
        return false;
    }
    std::vector<uint8_t> capsule = request.input;
    const uint32_t payloadLength = LoadLe32(capsule.data());
    const uint32_t capsuleSize = LoadLe32(capsule.data() + 4);
    inner->sessionId = LoadLe32(capsule.data() + 8);
    if (payloadLength > kMaxFrameData || capsuleSize != inSize ||
        capsuleSize != MiscCommon::CapsuleSizeFor(payloadLength)) {
        *note = "capsule: sizes disagree";
        return false;
    }
    if (inner->sessionId != (secure ? handle.sid : 0)) {
        *note = "capsule: wrong SessionId";
        return false;
    }
    if (secure) {
        DecipherCapsule(&handle, capsule.data(), capsuleSize);
    }
    const uint8_t* payload = capsule.data() + MiscCommon::CAPSULE_HEADER_SIZE;
    if (payloadLength < MiscCommon::ENCAPSULED_REQUEST_OVERHEAD) {
        *note = "capsule: payload too short";
        return false;
    }
    inner->sequence = LoadLe32(payload);
    const uint32_t requestLength = LoadLe32(payload + 4);
    inner->code = LoadLe32(payload + 8);
    const uint32_t inputLength = LoadLe32(payload + 12);
    if (requestLength != payloadLength ||
        inputLength != requestLength - MiscCommon::ENCAPSULED_REQUEST_OVERHEAD) {
        *note = "capsule: request lengths disagree";
        return false;
    }
    if (inner->sequence != handle.expectedSequence) {
        *note = "capsule: sequence " + std::to_string(inner->sequence) + ", expected " +
                std::to_string(handle.expectedSequence);
        return false;
    }
    inner->input.assign(payload + 20, payload + 20 + inputLength);
    return true;
}

InnerResult RunInner(Device* device, const InnerRequest& inner, std::string* note) {
    const uint32_t length = uint32_t(inner.input.size());
    if (inner.code == MiscCommon::IOCTL_MISC_BIOS_EXT_TABLE) {
        return BiosTable(device, inner.input.data(), length, note);
    }
    if (inner.code == MiscCommon::IOCTL_MISC_FUNCTION) {
        return MiscFunction(device, inner.input.data(), length, note);
    }
    *note = "capsule: unknown inner code";
    return InnerFailure(kErrorInvalidFunction);
}

// The reply capsule around data, enciphered when the session is, with the
// configured faults applied.
Reply SealReply(Device* device, const std::vector<uint8_t>& data, uint32_t sessionId) {
    const uint32_t n = uint32_t(data.size());
    const uint32_t replySize = MiscCommon::CapsuleSizeFor(n);
    Reply reply;
    reply.ok = 1;
    reply.output.assign(replySize, 0);
    StoreLe32(reply.output.data(), n);
    StoreLe32(reply.output.data() + 4, replySize);
    StoreLe32(reply.output.data() + 8, sessionId);
    if (n > 0) {
        std::memcpy(reply.output.data() + MiscCommon::CAPSULE_HEADER_SIZE, data.data(), n);
    }
    if (device->config.encryption) {
        EncipherCapsule(&device->handle, reply.output.data(), replySize);
    }
    const Faults& faults = device->config.faults;
    if (faults.oversizedCapsule) {
        StoreLe32(reply.output.data() + 4, 0x7FFFFFF8u);
    }
    if (faults.shortCapsule) {
        reply.output.resize(8);
    }
    return reply;
}

Reply Encapsulated(Device* device, const Request& request, std::string* note) {
    InnerRequest inner;
    if (!OpenCapsule(device, request, &inner, note)) {
        return Refuse(kErrorAccessDenied);
    }
    const InnerResult result = RunInner(device, inner, note);
    *note += ", seq " + std::to_string(inner.sequence);
    if (!result.ok) {
        // No output and no success: the client does not count the exchange, and
        // neither does the driver.
        return Refuse(result.error);
    }
    if (MiscCommon::CapsuleSizeFor(uint32_t(result.data.size())) > request.outSize) {
        *note += ", reply too large";
        return Refuse(kErrorMoreData);
    }
    const Reply reply = SealReply(device, result.data, inner.sessionId);
    ++device->handle.expectedSequence;
    return reply;
}

Reply CloseSession(Device* device, const Request& request, std::string* note) {
    if (request.input.size() != 4) {
        *note = "close: wrong length";
        return Refuse(kErrorAccessDenied);
    }
    Handle& handle = device->handle;
    if (handle.phase != Phase::None && LoadLe32(request.input.data()) == handle.sid) {
        ForgetSession(&handle);
        *note = "close: session forgotten";
    } else {
        *note = "close: no such session";
    }
    Reply reply;
    reply.ok = 1;
    return reply;
}

}  // namespace

void SystemRandom(uint8_t* out, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = getrandom(out + done, size - done, 0);
        if (got > 0) {
            done += size_t(got);
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        break;
    }
    if (done == size) {
        return;
    }
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && done < size) {
        const ssize_t got = read(fd, out + done, size - done);
        if (got <= 0) {
            break;
        }
        done += size_t(got);
    }
    if (fd >= 0) {
        close(fd);
    }
    if (done < size) {
        // Without any source of randomness the driver must not hand out guessable
        // secrets: stop rather than go on.
        std::fprintf(stderr, "misc-driver-sim: no random source\n");
        std::abort();
    }
}

ReadResult NextFrame(FrameReader* reader, Request* request) {
    std::vector<uint8_t>& pending = reader->pending;
    if (pending.size() < 12) {
        return ReadResult::NeedMore;
    }
    const uint32_t inSize = LoadLe32(pending.data() + 4);
    const uint32_t outSize = LoadLe32(pending.data() + 8);
    if (inSize > kMaxFrameData || outSize > kMaxFrameData) {
        return ReadResult::Close;
    }
    if (pending.size() < 12 + size_t(inSize)) {
        return ReadResult::NeedMore;
    }
    request->code = LoadLe32(pending.data());
    request->outSize = outSize;
    request->input.assign(pending.begin() + 12, pending.begin() + 12 + inSize);
    pending.erase(pending.begin(), pending.begin() + 12 + inSize);
    return ReadResult::Frame;
}

std::vector<uint8_t> EncodeReply(const Reply& reply) {
    std::vector<uint8_t> bytes(12 + reply.output.size());
    StoreLe32(bytes.data(), reply.ok);
    StoreLe32(bytes.data() + 4, reply.error);
    StoreLe32(bytes.data() + 8, uint32_t(reply.output.size()));
    if (!reply.output.empty()) {
        std::memcpy(bytes.data() + 12, reply.output.data(), reply.output.size());
    }
    return bytes;
}

void ResetHandle(Handle* handle) {
    ForgetSession(handle);
    handle->haveImage = false;
    std::memset(handle->image, 0, sizeof handle->image);
}

Reply HandleRequest(Device* device, const Request& request) {
    std::string note;
    Reply reply;
    switch (request.code) {
        case MiscCommon::IOCTL_MISC_SESSION:
            reply = SessionRequest(device, request, &note);
            break;
        case MiscCommon::IOCTL_MISC_CLOSE_SESSION:
            reply = CloseSession(device, request, &note);
            break;
        case MiscCommon::IOCTL_MISC_ENCAPSULATED:
            reply = Encapsulated(device, request, &note);
            break;
        default:
            note = "unknown code";
            reply = Refuse(kErrorInvalidFunction);
            break;
    }
    // A reply never exceeds the caller's buffer; the contract treats that as a
    // broken exchange, and no fault injection here is meant to produce one.
    if (reply.output.size() > request.outSize) {
        note += ", output does not fit";
        reply = Refuse(kErrorMoreData);
    }
    ++device->exchanges;
    if (device->config.trace) {
        std::FILE* out = device->config.traceStream ? device->config.traceStream : stderr;
        std::fprintf(out,
                     "misc-driver-sim: #%llu code 0x%06x in %zu out %u -> ok %u error %u "
                     "returned %zu (%s)\n",
                     static_cast<unsigned long long>(device->exchanges), request.code,
                     request.input.size(), request.outSize, reply.ok, reply.error,
                     reply.output.size(), note.c_str());
        std::fflush(out);
    }
    return reply;
}

// --- the Table 5 file --------------------------------------------------------

bool LoadTable(const std::string& path, std::vector<uint8_t>* table) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    table->clear();
    uint8_t chunk[512];
    bool ok = true;
    for (;;) {
        const size_t got = std::fread(chunk, 1, sizeof chunk, file);
        table->insert(table->end(), chunk, chunk + got);
        if (got < sizeof chunk) {
            ok = std::ferror(file) == 0;
            break;
        }
        if (table->size() > kMaxFrameData) {
            ok = false;
            break;
        }
    }
    std::fclose(file);
    return ok;
}

bool SaveTable(const std::string& path, const std::vector<uint8_t>& table) {
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (done < table.size()) {
        const ssize_t wrote = write(fd, table.data() + done, table.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            ok = false;
            break;
        }
        done += size_t(wrote);
    }
    // The old table stays until the new one is complete on disk.
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
    }
    return ok;
}

std::vector<uint8_t> DefaultTable() {
    // Raw touch-controller limits and scale factors, as a factory calibration
    // might leave them.
    static const uint16_t kWords[16] = {0x003A, 0x0F9C, 0x0042, 0x0FA8, 0x0800, 0x0800,
                                        0x0100, 0x0100, 0x0E00, 0x0E00, 0x0010, 0x0010,
                                        0x0001, 0x0000, 0x0320, 0x0258};
    std::vector<uint8_t> table(kTableSize, 0);
    table[0] = 0x80;
    table[1] = 0x00;
    table[2] = 0x6E;
    table[3] = 0x01;
    table[4] = 0x02;
    for (size_t i = 0; i < 16; ++i) {
        table[5 + 2 * i] = uint8_t(kWords[i]);
        table[6 + 2 * i] = uint8_t(kWords[i] >> 8);
    }
    // The rest: a revision byte and a small trailer of settings.
    table[37] = 0x03;
    table[38] = 0x01;
    table[39] = 0x20;
    table[40] = 0x03;
    table[41] = 0x58;
    table[42] = 0x02;
    return table;
}

bool EnsureTable(const std::string& path) {
    if (access(path.c_str(), F_OK) == 0) {
        return true;
    }
    return SaveTable(path, DefaultTable());
}

}  // namespace misc_sim
