// The DLL's version resource, read back through the Windows functions that
// the file's properties dialog uses.
#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host_fixture.h"

#if !defined(RELAY_VERSION_TEXT) || !defined(RELAY_PRODUCT_NAME) || !defined(RELAY_FILE_DESCRIPTION)
#error "the build sets the expected version texts"
#endif

namespace {

std::string VersionText(DWORD ms, DWORD ls) {
    return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." +
           std::to_string(HIWORD(ls)) + "." + std::to_string(LOWORD(ls));
}

std::string StringValue(const std::vector<char> &info, const std::string &name) {
    char *text = nullptr;
    UINT n = 0;
    std::string key = "\\StringFileInfo\\040904b0\\" + name;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void **>(&text), &n) || n == 0)
        return "(missing)";
    return std::string(text);
}

TEST(VersionResource, ShowsTheVersionAndNamesOfTheBuild) {
    std::string path = testkit::HostFixture::ModulePath();
    DWORD nIgnored = 0;
    DWORD nSize = GetFileVersionInfoSizeA(path.c_str(), &nIgnored);
    ASSERT_GT(nSize, 0u) << "no version resource in " << path << ": error " << GetLastError();
    std::vector<char> info(nSize);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, nSize, info.data()));

    VS_FIXEDFILEINFO *pFixed = nullptr;
    UINT n = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&pFixed), &n));
    ASSERT_GE(n, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(pFixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(VersionText(pFixed->dwFileVersionMS, pFixed->dwFileVersionLS), RELAY_VERSION_TEXT);
    EXPECT_EQ(VersionText(pFixed->dwProductVersionMS, pFixed->dwProductVersionLS),
              RELAY_VERSION_TEXT);
    EXPECT_EQ(pFixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    WORD *pTranslation = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&pTranslation), &n));
    ASSERT_GE(n, 4u);
    EXPECT_EQ(pTranslation[0], 0x0409); // U.S. English
    EXPECT_EQ(pTranslation[1], 1200);   // Unicode

    EXPECT_EQ(StringValue(info, "FileVersion"), RELAY_VERSION_TEXT);
    EXPECT_EQ(StringValue(info, "ProductVersion"), RELAY_VERSION_TEXT);
    EXPECT_EQ(StringValue(info, "ProductName"), RELAY_PRODUCT_NAME);
    EXPECT_EQ(StringValue(info, "FileDescription"), RELAY_FILE_DESCRIPTION);
    EXPECT_EQ(StringValue(info, "OriginalFilename"), "DEZuzovEzodid.dll");
    EXPECT_EQ(StringValue(info, "OriginalFilename"),
              std::filesystem::path(path).filename().string());
    EXPECT_NE(StringValue(info, "InternalName"), "(missing)");
}

} // namespace
