// The settings store on Windows: the registry key and value types the
// profile functions use, under a name of the test's own.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "settings_store.h"

namespace {

class SettingsRegistry : public ::testing::Test {
protected:
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, m_strKey.c_str()); }

    DWORD TypeOf(const wchar_t* pszEntry) {
        DWORD nType = REG_NONE;
        RegGetValueW(HKEY_CURRENT_USER, (m_strKey + L"\\Settings").c_str(), pszEntry, RRF_RT_ANY,
                     &nType, nullptr, nullptr);
        return nType;
    }

    std::string m_strName = "postern-test-" + std::to_string(GetCurrentProcessId());
    std::wstring m_strKey =
        L"Software\\quill\\Postern\\postern-test-" + std::to_wstring(GetCurrentProcessId());
};

TEST_F(SettingsRegistry, NumbersAreDwordsTextIsStringAndBothRoundTrip) {
    CSettingsStore store(m_strName);
    EXPECT_EQ(store.GetLocation(), "HKEY_CURRENT_USER\\Software\\quill\\Postern\\" + m_strName);
    EXPECT_EQ(store.ReadInt(setting::kLocalPort), 110);
    EXPECT_EQ(store.Read(setting::kHostName), "");
    ASSERT_TRUE(store.Write(setting::kLocalPort, " 1110x"));
    ASSERT_TRUE(store.Write(setting::kHostPort, "-5"));
    ASSERT_TRUE(store.Write(setting::kHostName,
                            "pop.b\xC3\xBC"
                            "cher.example"));
    EXPECT_EQ(TypeOf(L"LocalPort"), DWORD(REG_DWORD));
    EXPECT_EQ(TypeOf(L"HostName"), DWORD(REG_SZ));

    CSettingsStore again(m_strName);
    EXPECT_EQ(again.ReadInt(setting::kLocalPort), 1110);
    EXPECT_EQ(again.ReadInt(setting::kHostPort), -5);
    EXPECT_EQ(again.Read(setting::kHostName),
              "pop.b\xC3\xBC"
              "cher.example");
    // Another program name keeps settings of its own.
    EXPECT_EQ(CSettingsStore(m_strName + "-other").ReadInt(setting::kLocalPort), 110);
}

}  // namespace
