// The simulated misc driver: request handling, independent of sockets.
//
// main.cpp owns the socket, the interface folder and the signals; everything that
// decides what the driver answers lives here, so that tests and fuzzers can feed
// frames straight in. One Device serves one handle at a time; a Handle holds what
// the driver remembers for the open handle (its session above all) and is reset
// whenever a handle is opened or closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/le_bytes.h"
#include "crypto/blowfish.h"

namespace misc_sim {

// Requests larger than this close the connection.
constexpr uint32_t kMaxFrameData = 1u << 20;
constexpr uint32_t kTableSize = 110;

// The value a faulty driver puts where its public value belongs.
enum class YdFault { None, Zero, One, PMinus1, P, SignBit };

// Deliberate misbehaviour, for tests of the client's failure paths.
struct Faults {
    bool badHeader = false;            // table byte 3 served as 0x00
    bool longTable = false;            // two extra bytes after the table
    bool shortCapsule = false;         // encapsulated replies of 8 bytes
    bool oversizedCapsule = false;     // reply CapsuleSize far above the reply buffer
    int statusSubfunction = -1;        // this subfunction of 0x0114 ...
    uint8_t statusValue = 0;           // ... answers this Status instead
    bool wrongProof = false;           // Ini2 reply with one byte of the proof changed
    bool swappedConfirmation = false;  // Ini3 reply "Misc" "Auth"
    bool shortIni1 = false;            // 159 bytes instead of 160
    bool shortIni2 = false;            // 19 instead of 20
    bool shortIni3 = false;            // 7 instead of 8
    YdFault yd = YdFault::None;        // Ini1 carries this Yd, with a proof made for it
    bool wrongKa = false;              // the driver holds another authentication key
    bool noKeyPair = false;            // pow2mod refuses every exponent (for the driver's tests)
    bool lostWrite = false;            // subfunction 2 answers done but keeps nothing
    bool changedWord = false;          // subfunction 2 keeps word 15 with its low bit flipped
};

using RandomSource = void (*)(uint8_t* out, size_t size);
// getrandom(2), falling back to /dev/urandom.
void SystemRandom(uint8_t* out, size_t size);

struct Config {
    bool encryption = true;
    uint32_t busy = 0;                 // misc-function calls still to be answered with Status 4
    bool trace = false;                // one line per exchange on traceStream
    std::FILE* traceStream = nullptr;  // stderr when null
    std::string tablePath;             // the Table 5 file
    Faults faults;
    RandomSource random = SystemRandom;
};

enum class Phase {
    None,           // no session
    Offered,        // Ini1 answered: SID, exponent and public values known
    Authenticated,  // Ini2 answered: the key-encryption key is owed or known
    Established,    // Ini3 answered: capsules travel under the session key
};

// What the driver keeps for the open handle. Secrets are wiped by ResetHandle.
struct Handle {
    Phase phase = Phase::None;
    uint32_t sid = 0;
    uint32_t expectedSequence = 0;
    uint32_t exponent[6] = {};  // 160 random bits and a zero sign word
    uint8_t yc[132] = {};
    uint8_t yd[132] = {};
    uint8_t km[20] = {};
    uint8_t kek[16] = {};
    bool kekOwed = false;    // Ini2 answered, the exponent kept for WorkOutKek
    bool kekFailed = false;  // WorkOutKek's exponentiation failed; Ini3 is refused
    BlowfishContext cipher = {};
    bool haveImage = false;   // subfunction 1 answered, its reply kept
    uint8_t image[123] = {};  // the reply data of subfunction 1 without Accepted
};

// A fresh exponent with its public value, made while no handle is open so that
// an Ini1 need not wait for the exponentiation. Each pair serves one Ini1 only.
struct KeyPair {
    bool ready = false;
    uint32_t exponent[6] = {};
    uint8_t yd[132] = {};
};

struct Device {
    Config config;
    Handle handle;
    KeyPair prepared;
    uint64_t exchanges = 0;  // counted for the trace
};

// A request frame: code, input, size of the caller's output buffer.
struct Request {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t outSize = 0;
};

struct Reply {
    uint32_t ok = 0;
    uint32_t error = 0;
    std::vector<uint8_t> output;
};

// Accumulates bytes from the stream and cuts them into frames.
struct FrameReader {
    std::vector<uint8_t> pending;
};
enum class ReadResult { NeedMore, Frame, Close };
// Takes the next complete frame out of reader->pending. Close when a frame
// announces more than kMaxFrameData input or output bytes.
ReadResult NextFrame(FrameReader* reader, Request* request);
// The reply frame's bytes: ok, error, returned, output.
std::vector<uint8_t> EncodeReply(const Reply& reply);

// Forgets the handle's state, wiping its secrets. Called on open and close.
void ResetHandle(Handle* handle);
// Answers one exchange of the open handle.
Reply HandleRequest(Device* device, const Request& request);

// Works out the key-encryption key that an answered Ini2 still owes: Z = Yc^y mod p
// and its SHA-1. The server calls it as soon as the Ini2 reply is sent, so the
// driver's exponentiation runs while the client works out its own; Ini3 calls it
// when nobody has. False when the exponentiation failed (Ini3 is refused then).
bool WorkOutKek(Device* device);

// Makes device->prepared ready when it is not (and encryption is on). For idle
// moments: it costs one 160-bit exponentiation.
void PrepareKeyPair(Device* device);
// The same into a pair of the caller's, touching nothing else, so that it can run
// on a thread of its own while requests are answered; refuse stands for the
// noKeyPair fault.
void MakeKeyPair(RandomSource random, bool refuse, KeyPair* pair);
// Whether the request is an Ini1, the one request that takes the prepared pair.
bool TakesKeyPair(const Request& request);

// Starts an established session with a known session key, as if the handshake had
// just finished. For tests and fuzzers that want to reach the capsule paths.
void InstallSession(Handle* handle, uint32_t sid, const uint8_t sessionKey[16]);

// --- the Table 5 file --------------------------------------------------------
// Reads the table file; false when it cannot be read.
bool LoadTable(const std::string& path, std::vector<uint8_t>* table);
// Writes the table through a new file renamed over the old one.
bool SaveTable(const std::string& path, const std::vector<uint8_t>& table);
// The table the driver starts with: the 80 00 xx 01 02 header, 16 calibration
// words and the rest of a 110-byte table.
std::vector<uint8_t> DefaultTable();
// Creates the table file with the default table when it does not exist.
bool EnsureTable(const std::string& path);

}  // namespace misc_sim
