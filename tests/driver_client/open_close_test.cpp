// Construction, OpenDriver's failure table and CloseDriver.

#include "tests/driver_client/client_fixture.h"

namespace clienttest {
namespace {

using testplatform::Call;

struct OpenCase {
    const char* name;
    std::function<void()> arrange;
    uint32_t status;
    const char* text;
    uint32_t lastError;  // restored after the clean-up, which disturbs it
};

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.name;
}

const OpenCase kOpenFailures[] = {
    {"class set", [] { testplatform::FailCall(Call::OpenDeviceInfoSet, 5); }, 2,
     "OpenDriver: SetupDiGetClassDevs failed.", 5},
    {"no device", [] { testplatform::SetDevicePresent(false); }, 6,
     "OpenDriver: SetupDiEnumDeviceInterfaces failed.", platform::kErrorNoMoreItems},
    {"enum", [] { testplatform::FailCall(Call::EnumDeviceInterface, 31); }, 6,
     "OpenDriver: SetupDiEnumDeviceInterfaces failed.", 31},
    {"detail size", [] { testplatform::FailCall(Call::GetDeviceInterfaceDetailSize, 87); }, 2,
     "OpenDriver: SetupDiGetDeviceInterfaceDetail (First time) failed.", 87},
    // Not the size query's ERROR_INSUFFICIENT_BUFFER: the allocation's own error.
    {"record alloc", [] { testplatform::FailAllocation(1); }, 5, "OpenDriver: HeapAlloc failed.",
     platform::kErrorNotEnoughMemory},
    {"detail", [] { testplatform::FailCall(Call::GetDeviceInterfaceDetail, 31); }, 2,
     "OpenDriver: SetupDiGetDeviceInterfaceDetail (Second time) failed.", 31},
    {"driver key", [] { testplatform::FailCall(Call::OpenDriverKey, 5); }, 2,
     "OpenDriver: SetupDiOpenDevRegKey failed.", 5},
    {"version alloc", [] { testplatform::FailAllocation(2); }, 2,
     "OpenDriver: _szVersion array initialize failed.", platform::kErrorNotEnoughMemory},
    {"no version", [] { testplatform::SetDriverVersion(nullptr); }, 2,
     "OpenDriver: RegQueryValueEx failed.", platform::kErrorFileNotFound},
    {"version of 128 characters",
     [] { testplatform::SetDriverVersion(std::wstring(128, L'7').c_str()); }, 2,
     "OpenDriver: RegQueryValueEx failed.", platform::kErrorMoreData},
    {"open", [] { testplatform::SetOpenError(32); }, 11, "OpenDriver: CreateFile failed.", 32},
};

class OpenDriverFailureTest : public ClientTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenDriverFailureTest, ReleasesEverythingAndRestoresTheError) {
    constexpr uint32_t kSentinel = 0xABCD;
    const OpenCase& c = GetParam();
    const int sets = testplatform::LiveDeviceInfoSetCount();
    const int keys = testplatform::LiveRegistryKeyCount();
    c.arrange();
    platform::SetLastErrorValue(kSentinel);
    EXPECT_EQ(g_MiscCommon.OpenDriver(), c.status);
    EXPECT_EQ(Text(), Prefixed(c.text));
    EXPECT_EQ(platform::GetLastErrorValue(), c.lastError);
    EXPECT_EQ(g_MiscCommon._hDevice, platform::InvalidDeviceHandle());
    // Only a failed open comes after the version was read; it keeps it.
    const bool versionKept = c.status == 11;
    EXPECT_EQ(g_MiscCommon._szVersion != nullptr, versionKept);
    EXPECT_FALSE(testplatform::DeviceIsOpen());
    EXPECT_EQ(testplatform::LiveDeviceInfoSetCount(), sets);
    EXPECT_EQ(testplatform::LiveRegistryKeyCount(), keys);
    EXPECT_EQ(testplatform::LiveBlockCount(), baselineBlocks + (versionKept ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Rows, OpenDriverFailureTest, ::testing::ValuesIn(kOpenFailures),
                         RowName<OpenCase>);

TEST_F(ClientTest, OpenDriverReadsTheVersionOnceAndClearsTheText) {
    const std::wstring longest(127, L'9');
    testplatform::SetDriverVersion(longest.c_str());
    g_MiscCommon._SetErrorText("earlier failure %d", 1);
    ASSERT_EQ(g_MiscCommon.OpenDriver(), 0u);
    EXPECT_EQ(Text(), L"");
    EXPECT_EQ(std::wstring(g_MiscCommon._szVersion), longest);
    EXPECT_TRUE(testplatform::DeviceIsOpen());
    // The version buffer stays; the detail record does not.
    EXPECT_EQ(testplatform::LiveBlockCount(), baselineBlocks + 1);

    // A second open in the same process does not read the registry again.
    g_MiscCommon.CloseDriver();
    testplatform::FailCall(Call::QueryRegistryString, 2);
    testplatform::FailCall(Call::OpenDriverKey, 2);
    EXPECT_EQ(g_MiscCommon.OpenDriver(), 0u);
    EXPECT_EQ(std::wstring(g_MiscCommon._szVersion), longest);
}

TEST_F(ClientTest, CloseDriverEndsTheSessionAndWipesTheCipher) {
    OpenEncrypted();
    g_MiscCommon.SequenceNumber = 9;
    bool sawWipedCipher = false;
    testplatform::SetReleaseInspector([&](const uint8_t* block, size_t size) {
        if (size == sizeof(BlowfishContext)) {
            sawWipedCipher = std::all_of(block, block + size, [](uint8_t b) { return b == 0; });
        }
    });
    g_MiscCommon.CloseDriver();
    ASSERT_EQ(testplatform::Exchanges().size(), 1u);
    const testplatform::Exchange& x = testplatform::Exchanges()[0];
    EXPECT_EQ(x.code, MiscCommon::IOCTL_MISC_CLOSE_SESSION);
    EXPECT_EQ(x.input, (Bytes{0x44, 0x33, 0x22, 0x11}));
    EXPECT_FALSE(x.hadOutBuffer);
    EXPECT_TRUE(sawWipedCipher);
    EXPECT_EQ(g_MiscCommon.SessionCipher, nullptr);
    EXPECT_EQ(g_MiscCommon.SessionId, 0u);
    EXPECT_EQ(g_MiscCommon.SequenceNumber, 0u);
    EXPECT_EQ(g_MiscCommon.EncryptionEnabled, 1);
    EXPECT_FALSE(testplatform::DeviceIsOpen());
    EXPECT_EQ(testplatform::LiveBlockCount(), baselineBlocks - 1);

    g_MiscCommon.CloseDriver();  // the second call does nothing
    EXPECT_EQ(testplatform::CloseCount(), 1);
    EXPECT_EQ(testplatform::Exchanges().size(), 1u);
}

TEST_F(ClientTest, CloseDriverInPlainModeSendsNothing) {
    OpenPlain();
    g_MiscCommon.CloseDriver();
    EXPECT_TRUE(testplatform::Exchanges().empty());
    EXPECT_EQ(testplatform::CloseCount(), 1);
    EXPECT_EQ(g_MiscCommon.EncryptionEnabled, 0);
}

TEST_F(ClientTest, AnObjectOwnsItsTextsAndClosesAtDestruction) {
    {
        MiscCommon::CMiscCommon client;
        EXPECT_EQ(testplatform::LiveBlockCount(), baselineBlocks + 1);
        ASSERT_NE(client.LastErrorText, nullptr);
        EXPECT_EQ(client.LastErrorText[0], L'\0');
        EXPECT_EQ(client._hDevice, platform::InvalidDeviceHandle());
        EXPECT_EQ(client.EncryptionEnabled, 1);
        ASSERT_EQ(client.OpenDriver(), 0u);
        // Texts are cut at 255 characters.
        client._SetErrorText("%s", std::string(400, 'x').c_str());
        EXPECT_EQ(std::wcslen(client.LastErrorText), MiscCommon::TEXT_BUFFER_CHARS - 1);
    }
    EXPECT_FALSE(testplatform::DeviceIsOpen());
    ExpectNoLeak();
}

TEST_F(ClientTest, ProbeAnsweredNotSupportedMeansPlainMode) {
    ASSERT_EQ(g_MiscCommon.OpenDriver(), 0u);
    testplatform::SetResponder([](const testplatform::Exchange&) {
        return testplatform::Reply{false, platform::kErrorNotSupported, {}};
    });
    EXPECT_EQ(g_MiscCommon._Initialize(), 0u);
    EXPECT_EQ(g_MiscCommon.EncryptionEnabled, 0);
    EXPECT_EQ(g_MiscCommon.SessionCipher, nullptr);
    ASSERT_EQ(testplatform::Exchanges().size(), 1u);
    EXPECT_EQ(testplatform::Exchanges()[0].code, MiscCommon::IOCTL_MISC_SESSION);
    EXPECT_TRUE(testplatform::Exchanges()[0].input.empty());
}

}  // namespace
}  // namespace clienttest
