// padbridge.exe's version resource, read back the way Explorer and PowerShell read it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "host.h"
#include "version.h"

namespace e2e {
namespace {

struct VersionResource {
    bool ok = false;
    std::vector<char> block;
};

VersionResource Load(const std::wstring& path) {
    VersionResource resource;
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &unused);
    if (size == 0) return resource;
    resource.block.resize(size);
    resource.ok = GetFileVersionInfoW(path.c_str(), 0, size, resource.block.data()) != 0;
    return resource;
}

// A string of the U.S. English, Unicode table; "(missing)" when the resource lacks it.
std::wstring StringValue(VersionResource& resource, const std::wstring& name) {
    const std::wstring key = L"\\StringFileInfo\\040904B0\\" + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(resource.block.data(), key.c_str(), &value, &length) || length == 0) {
        return L"(missing)";
    }
    return std::wstring(static_cast<const wchar_t*>(value));
}

std::wstring Widen(const char* text) {
    return std::wstring(text, text + std::string(text).size());
}

TEST(VersionResource, CarriesTheProjectVersionAndNames) {
    VersionResource resource = Load(PadbridgePath());
    ASSERT_TRUE(resource.ok) << "GetFileVersionInfoW error " << GetLastError();

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(resource.block.data(), L"\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD high = MAKELONG(PADBRIDGE_VERSION_MINOR, PADBRIDGE_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, PADBRIDGE_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    EXPECT_EQ(StringValue(resource, L"ProductName"), L"padbridge");
    EXPECT_EQ(StringValue(resource, L"ProductVersion"), Widen(PADBRIDGE_VERSION));
    EXPECT_EQ(StringValue(resource, L"FileVersion"), Widen(PADBRIDGE_VERSION));
    EXPECT_EQ(StringValue(resource, L"OriginalFilename"), L"padbridge.exe");
    EXPECT_NE(StringValue(resource, L"LegalCopyright").find(L"the padbridge developers"),
              std::wstring::npos);
    EXPECT_NE(StringValue(resource, L"FileDescription"), L"(missing)");
}

}  // namespace
}  // namespace e2e
