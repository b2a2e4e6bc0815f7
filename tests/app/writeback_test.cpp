// The write-back: the image, the three driver steps and their results, the dump,
// and the refusal of files that do not hold 16 words.
#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "app/app.h"
#include "driver_client/misc_common.h"
#include "tests/app/app_test_support.h"

namespace apptest {
namespace {

const std::vector<uint16_t> kTableWords = {0x0102, 0x0A0B, 0x2030, 0xFFFF, 0,  0x0A00, 7,  8,
                                           9,      10,     11,     12,     13, 14,     15, 0xBEEF};

// The expected request data of subfunctions 0 and 1.
Bytes CheckRequest() {
    return Bytes{0x01, 0x00, 0x05, 0x00, 0x00, 0x80, 0x00};
}
Bytes WriteRequest(const Bytes& image) {
    Bytes request(8 + CALIBRATION_IMAGE_SIZE + 1, 0);  // Accepted 0 at the end
    const uint8_t head[] = {0x01, 0x00, 0x05, 0x00, 0x00, 0x80, 115, 0x00};
    std::copy(std::begin(head), std::end(head), request.begin());
    std::copy(image.begin(), image.end(), request.begin() + 8);
    return request;
}
Bytes Image(const std::vector<uint16_t>& words) {
    Bytes image(CALIBRATION_IMAGE_SIZE, 0);
    image[0] = 0x02;
    for (size_t i = 0; i < words.size(); ++i) {
        image[1 + 2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
        image[2 + 2 * i] = static_cast<uint8_t>(words[i] >> 8);
    }
    return image;
}

class WriteBackTest : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        OpenClient();
        WriteFileBytes("calib.txt", ExpectedText(kTableWords));
    }
    std::vector<uint16_t> Subfunctions() const {
        std::vector<uint16_t> sent;
        for (const auto& packet : driver.packets) {
            sent.push_back(packet.first);
        }
        return sent;
    }
};

TEST_F(WriteBackTest, SendsTheImageInThreeSteps) {
    EXPECT_EQ(WriteBackCalibration(L"calib.txt"), RESULT_SUCCESS);
    ASSERT_EQ(Subfunctions(), (std::vector<uint16_t>{0, 1, 2}));
    EXPECT_EQ(driver.packets[0].second, CheckRequest());
    const Bytes write = WriteRequest(Image(kTableWords));
    EXPECT_EQ(driver.packets[1].second, write);
    // Subfunction 2 sends back the reply to subfunction 1 without Accepted.
    EXPECT_EQ(driver.packets[2].second, Bytes(write.begin(), write.end() - 1));
    EXPECT_FALSE(std::filesystem::exists("maet.txt"));
}

TEST_F(WriteBackTest, ReadOutFileRoundTrip) {
    driver.table = CalibrationTable(kTableWords);
    ASSERT_EQ(ReadOutCalibration(), RESULT_SUCCESS);
    driver.packets.clear();
    EXPECT_EQ(WriteBackCalibration(L"calibfrombios.bin"), RESULT_SUCCESS);
    ASSERT_EQ(driver.packets.size(), 3u);
    const Bytes& image = driver.packets[1].second;
    // Image bytes 0 to 32 are table bytes 4 to 36; the rest of the table stays behind.
    EXPECT_EQ(Bytes(image.begin() + 8, image.begin() + 8 + 33),
              Bytes(driver.table.begin() + 4, driver.table.begin() + 37));
    EXPECT_EQ(Bytes(image.begin() + 8 + 33, image.begin() + 8 + 115), Bytes(82, 0));
}

TEST_F(WriteBackTest, ChangedReplyOfSubfunctionOneIsWhatSubfunctionTwoSends) {
    driver.steps[1].editReply = [](Bytes& data) {
        data[0] = 0x77;
        data[8 + 40] = 0x99;
        data[122] = 0x55;
    };
    EXPECT_EQ(WriteBackCalibration(L"calib.txt"), RESULT_SUCCESS);
    ASSERT_EQ(driver.packets.size(), 3u);
    Bytes expected = WriteRequest(Image(kTableWords));
    expected.pop_back();
    expected[0] = 0x77;
    expected[8 + 40] = 0x99;
    expected[122] = 0x55;
    EXPECT_EQ(driver.packets[2].second, expected);
}

// The step results are numbers with a meaning of their own: each is pinned once.
TEST(StepResults, AreTheDocumentedNumbers) {
    const std::pair<uint32_t, uint32_t> steps[] = {{STEP_SUCCESS, 0},
                                                   {STEP_CALL_FAILED, 10000},
                                                   {STEP_STATUS_FAILED, 20000},
                                                   {STEP_NOT_ACCEPTED, 20003},
                                                   {STEP_IMAGE_REFUSED, 6}};
    for (const auto& [step, number] : steps) {
        EXPECT_EQ(step, number);
    }
}

TEST_F(WriteBackTest, CheckWriteTargetStepResults) {
    driver.steps[0].accepted = 0;
    EXPECT_EQ(CheckWriteTarget(), STEP_NOT_ACCEPTED);
    driver.steps[0].accepted = 1;
    driver.steps[0].status = 7;
    EXPECT_EQ(CheckWriteTarget(), STEP_STATUS_FAILED + 7);
    driver.steps[0].status = 0;
    driver.steps[0].exchangeFails = true;
    EXPECT_EQ(CheckWriteTarget(), STEP_CALL_FAILED + MiscCommon::MISC_FAILED);
    driver.steps[0].exchangeFails = false;
    EXPECT_EQ(CheckWriteTarget(), STEP_SUCCESS);

    MiscCommon::g_MiscCommon.CloseDriver();
    const size_t sent = driver.packets.size();
    EXPECT_EQ(CheckWriteTarget(), STEP_CALL_FAILED + MiscCommon::MISC_NOT_READY);
    EXPECT_EQ(driver.packets.size(), sent);
}

TEST_F(WriteBackTest, WriteCalibrationImageStepResults) {
    const Bytes image = Image(kTableWords);
    // Subfunction 1 refused, by status or by Accepted: subfunction 2 is not sent.
    driver.steps[1].status = 3;
    EXPECT_EQ(WriteCalibrationImage(image.data()), STEP_IMAGE_REFUSED);
    driver.steps[1].status = 0;
    driver.steps[1].accepted = 0;
    EXPECT_EQ(WriteCalibrationImage(image.data()), STEP_IMAGE_REFUSED);
    EXPECT_EQ(Subfunctions(), (std::vector<uint16_t>{1, 1}));
    driver.steps[1].accepted = 1;
    driver.steps[1].exchangeFails = true;
    EXPECT_EQ(WriteCalibrationImage(image.data()), STEP_CALL_FAILED + MiscCommon::MISC_FAILED);
    driver.steps[1].exchangeFails = false;

    driver.steps[2].status = 9;
    EXPECT_EQ(WriteCalibrationImage(image.data()), STEP_STATUS_FAILED + 9);
    driver.steps[2].status = 0;
    driver.steps[2].exchangeFails = true;
    EXPECT_EQ(WriteCalibrationImage(image.data()), STEP_CALL_FAILED + MiscCommon::MISC_FAILED);
    driver.steps[2].exchangeFails = false;
    EXPECT_EQ(WriteCalibrationImage(image.data()), STEP_SUCCESS);
}

TEST_F(WriteBackTest, AnyFailedStepIsRegistryWriteError) {
    struct Case {
        int step;
        uint8_t status;
        uint8_t accepted;
        std::vector<uint16_t> sent;
    };
    const Case cases[] = {
        {0, 0, 0, {0}}, {0, 5, 1, {0}}, {1, 0, 0, {0, 1}}, {1, 2, 1, {0, 1}}, {2, 1, 1, {0, 1, 2}},
    };
    for (const Case& c : cases) {
        driver.packets.clear();
        driver.steps[c.step].status = c.status;
        driver.steps[c.step].accepted = c.accepted;
        EXPECT_EQ(WriteBackCalibration(L"calib.txt"), RESULT_REGISTRY_WRITE_ERROR) << c.step;
        EXPECT_EQ(Subfunctions(), c.sent) << c.step;
        driver.steps[c.step].status = 0;
        driver.steps[c.step].accepted = 1;
    }
}

TEST_F(WriteBackTest, DumpIsWrittenWhateverTheResult) {
    ReadTestMode = 1;
    const Bytes image = Image(kTableWords);
    Bytes expected;
    for (size_t i = 0; i < IMAGE_DUMP_SIZE; ++i) {
        if (image[i] == 0x0A) {
            expected.push_back(0x0D);
        }
        expected.push_back(image[i]);
    }
    ASSERT_EQ(expected.size(), IMAGE_DUMP_SIZE + 3);  // words 1, 5 and 9 hold 0x0A

    driver.steps[0].accepted = 0;
    EXPECT_EQ(WriteBackCalibration(L"calib.txt"), RESULT_REGISTRY_WRITE_ERROR);
    EXPECT_EQ(ReadFileBytes("maet.txt"), expected);

    std::filesystem::remove("maet.txt");
    driver.steps[0].accepted = 1;
    EXPECT_EQ(WriteBackCalibration(L"calib.txt"), RESULT_SUCCESS);
    EXPECT_EQ(ReadFileBytes("maet.txt"), expected);
}

// A file that cannot give all 16 words must never reach the driver.
TEST_F(WriteBackTest, PartialOrMissingFileSendsNothing) {
    ReadTestMode = 1;
    const std::string good = ExpectedText(kTableWords);
    const std::string bad[] = {"", good.substr(0, 15 * 5),
                               good.substr(0, 15) + "zz " + good.substr(20)};
    const size_t before = EncapsulatedCount();
    for (const std::string& text : bad) {
        WriteFileBytes("bad.txt", text);
        EXPECT_EQ(WriteBackCalibration(L"bad.txt"), RESULT_FILE_FAILED) << text;
    }
    EXPECT_EQ(WriteBackCalibration(L"missing.txt"), RESULT_FILE_FAILED);
    std::filesystem::create_directory("folder.txt");
    EXPECT_EQ(WriteBackCalibration(L"folder.txt"), RESULT_FILE_FAILED);
    EXPECT_EQ(WriteBackCalibration(nullptr), RESULT_FILE_FAILED);

    EXPECT_EQ(EncapsulatedCount(), before);
    EXPECT_FALSE(std::filesystem::exists("maet.txt"));
}

TEST_F(WriteBackTest, LongFileIsReadOnlyAsFarAsNeeded) {
    // Words on separate lines after a long run of blank lines, then a large tail.
    std::string text(100000, '\n');
    for (uint16_t word : kTableWords) {
        char group[8];
        std::snprintf(group, sizeof(group), "%04X\n", word);
        text += group;
    }
    text += std::string(300000, 'q');
    WriteFileBytes("long.txt", text);
    EXPECT_EQ(WriteBackCalibration(L"long.txt"), RESULT_SUCCESS);
    ASSERT_EQ(driver.packets.size(), 3u);
    EXPECT_EQ(driver.packets[1].second, WriteRequest(Image(kTableWords)));
}

TEST_F(WriteBackTest, FileNameIsNotNarrowed) {
    // Each character of this name is above 255; one byte per character would
    // name another file, or none.
    const std::wstring name =
        L"\u041a\u0430\u043b\u0438\u0431\u0440\u043e\u0432\u043a\u0430-\u20ac.txt";
    const char utf8Name[] =
        "\xd0\x9a\xd0\xb0\xd0\xbb\xd0\xb8\xd0\xb1\xd1\x80\xd0\xbe\xd0\xb2\xd0\xba\xd0\xb0-"
        "\xe2\x82\xac.txt";
    std::filesystem::rename("calib.txt", std::filesystem::u8path(utf8Name));
    EXPECT_EQ(WriteBackCalibration(name.c_str()), RESULT_SUCCESS);
    ASSERT_EQ(driver.packets.size(), 3u);
    EXPECT_EQ(driver.packets[1].second, WriteRequest(Image(kTableWords)));
}

}  // namespace
}  // namespace apptest
