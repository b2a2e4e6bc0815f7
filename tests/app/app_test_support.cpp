#include "tests/app/app_test_support.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>
#include <random>

#include "app/app.h"
#include "driver_client/misc_common.h"
#include "tests/support/le_words.h"

namespace apptest {

namespace {

using testsupport::Le32;
using testsupport::ReplyCapsule;

testplatform::Reply Failure(uint32_t error) {
    testplatform::Reply reply;
    reply.ok = false;
    reply.error = error;
    return reply;
}

}  // namespace

FakeDriver::FakeDriver() : table(CalibrationTable({})) {
    // A driver that accepts: Accepted is byte 6 of subfunction 0's data and byte
    // 123 of subfunction 1's.
    steps[0].acceptedOffset = 6;
    steps[1].acceptedOffset = 123;
}

testplatform::Reply FakeDriver::Respond(const testplatform::Exchange& exchange) {
    if (exchange.code == MiscCommon::IOCTL_MISC_SESSION) {
        return Failure(platform::kErrorNotSupported);  // no encryption
    }
    if (exchange.code == MiscCommon::IOCTL_MISC_CLOSE_SESSION) {
        return testplatform::Reply{};
    }
    const Bytes& in = exchange.input;
    if (exchange.code != MiscCommon::IOCTL_MISC_ENCAPSULATED || in.size() < 12 + 24) {
        return Failure(platform::kErrorInvalidParameter);
    }
    const uint32_t code = Le32(in.data() + 12 + 8);
    const uint32_t inputLength = Le32(in.data() + 12 + 12);
    // The inner request's input follows its five header words.
    const size_t inputAt = 12 + 20;
    if (in.size() < inputAt + inputLength) {
        return Failure(platform::kErrorInvalidParameter);
    }
    const Bytes input(in.begin() + inputAt, in.begin() + inputAt + inputLength);
    testplatform::Reply reply;
    if (code == MiscCommon::IOCTL_MISC_BIOS_EXT_TABLE) {
        if (tableFails) {
            return Failure(platform::kErrorGenFailure);
        }
        reply.output = ReplyCapsule(table);
        return reply;
    }
    if (code != MiscCommon::IOCTL_MISC_FUNCTION || input.size() < MISC_PACKET_HEADER_SIZE) {
        return Failure(platform::kErrorInvalidParameter);
    }
    const uint16_t subfunction = static_cast<uint16_t>(input[8] | (input[9] << 8));
    Bytes data(input.begin() + MISC_PACKET_HEADER_SIZE, input.end());
    packets.emplace_back(subfunction, data);
    if (subfunction > 2) {
        return Failure(platform::kErrorInvalidParameter);
    }
    const StepScript& step = steps[subfunction];
    if (step.exchangeFails) {
        return Failure(platform::kErrorGenFailure);
    }
    if (step.acceptedOffset >= 0) {
        data[step.acceptedOffset] = step.accepted;
    }
    if (step.editReply) {
        step.editReply(data);
    }
    Bytes packet(input.begin(), input.begin() + MISC_PACKET_HEADER_SIZE);
    packet[0] = step.status;
    packet.insert(packet.end(), data.begin(), data.end());
    reply.output = ReplyCapsule(packet);
    return reply;
}

Bytes CalibrationTable(const std::vector<uint16_t>& words) {
    Bytes table(TABLE5_SIZE, 0);
    table[0] = 0x80;
    table[2] = 0x5A;  // not examined
    table[3] = 0x01;
    table[4] = 0x02;
    for (size_t i = 0; i < words.size(); ++i) {
        table[5 + 2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
        table[6 + 2 * i] = static_cast<uint8_t>(words[i] >> 8);
    }
    // The rest of the table is not calibration data and must not travel on.
    for (size_t i = 37; i < table.size(); ++i) {
        table[i] = static_cast<uint8_t>(0x80 | i);
    }
    return table;
}

std::string ExpectedText(const std::vector<uint16_t>& words) {
    std::string text;
    for (uint32_t i = 0; i < CALIBRATION_WORDS; ++i) {
        const unsigned word = i < words.size() ? words[i] : 0;
        char group[8];
        std::snprintf(group, sizeof(group), "%02x%02x ", word >> 8, word & 0xFF);
        text += group;
    }
    return text;
}

Bytes ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void AppTest::FreshProcess() {
    MiscCommon::g_MiscCommon.~CMiscCommon();
    new (&MiscCommon::g_MiscCommon) MiscCommon::CMiscCommon();
    ReadTestMode = 0;
    LastMiscStatus = 0;
}

void AppTest::SetUp() {
    // The global client outlives every test: give each test a fresh one.
    MiscCommon::g_MiscCommon.CloseDriver();
    testplatform::Reset();
    FreshProcess();
    testplatform::SetResponder(
        [this](const testplatform::Exchange& exchange) { return driver.Respond(exchange); });

    std::random_device random;
    previousFolder = std::filesystem::current_path();
    folder = std::filesystem::temp_directory_path() /
             ("quellix-app-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directory(folder);
    std::filesystem::current_path(folder);
}

void AppTest::TearDown() {
    MiscCommon::g_MiscCommon.CloseDriver();
    testplatform::SetResponder(nullptr);
    std::filesystem::current_path(previousFolder);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

void AppTest::OpenClient() {
    ASSERT_EQ(MiscCommon::g_MiscCommon.OpenDriver(), MiscCommon::MISC_SUCCESS);
    ASSERT_EQ(MiscCommon::g_MiscCommon._Initialize(), MiscCommon::MISC_SUCCESS);
    ASSERT_EQ(MiscCommon::g_MiscCommon.EncryptionEnabled, 0);
}

size_t AppTest::EncapsulatedCount() const {
    size_t count = 0;
    for (const auto& exchange : testplatform::Exchanges()) {
        count += exchange.code == MiscCommon::IOCTL_MISC_ENCAPSULATED ? 1 : 0;
    }
    return count;
}

}  // namespace apptest
