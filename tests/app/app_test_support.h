// Shared fixture of the application tests: a fresh global client, a scripted
// plain-mode driver on the test backend, and a temporary working folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/test/test_platform.h"

namespace apptest {

using Bytes = std::vector<uint8_t>;

// What the scripted driver answers to one misc-function subfunction.
struct StepScript {
    uint8_t status = 0;       // the reply's Status byte
    int acceptedOffset = -1;  // data byte set to `accepted` in the reply; -1 none
    uint8_t accepted = 1;
    bool exchangeFails = false;  // the exchange itself fails (no reply)
    // Applied to the reply data before it is sent back.
    std::function<void(Bytes&)> editReply;
};

// A driver without encryption that answers capsules in plain mode.
struct FakeDriver {
    Bytes table;              // BIOS extension table 5 as the driver holds it
    bool tableFails = false;  // the table exchange fails
    StepScript steps[3];      // subfunctions 0, 1 and 2 of function 0x0114
    // Every misc-function packet received: subfunction and request data.
    std::vector<std::pair<uint16_t, Bytes>> packets;

    FakeDriver();
    testplatform::Reply Respond(const testplatform::Exchange& exchange);
};

// The 110-byte table of a device holding calibration data, the 16 words given.
Bytes CalibrationTable(const std::vector<uint16_t>& words);
// The calibration text the read-out must write for those words, built with printf.
std::string ExpectedText(const std::vector<uint16_t>& words);

Bytes ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& content);

class AppTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The state of a process that has just started: a newly constructed global
    // client (the old one destroyed, closing its driver), the globals at 0.
    static void FreshProcess();
    // Opens the global client and runs the handshake (plain mode), as the entry
    // function does before an operation.
    void OpenClient();
    // Number of misc-function or table exchanges sent so far.
    size_t EncapsulatedCount() const;

    FakeDriver driver;
    std::filesystem::path folder;

  private:
    std::filesystem::path previousFolder;
};

}  // namespace apptest
