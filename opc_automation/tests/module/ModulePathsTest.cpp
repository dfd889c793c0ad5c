// The type library file beside a library file and the help folder of a registered type library.
#include <gtest/gtest.h>

#include "portable/ModulePaths.h"

namespace {

struct Case {
  const char* path;
  const char* tlb;
  const char* helpDir;
};

TEST(ModulePaths, TlbBesideTheFileAndItsFolder) {
  const Case cases[] = {
      {"C:\\Program Files\\Kestrov\\Veltrane.dll", "C:\\Program Files\\Kestrov\\Veltrane.tlb",
       "C:\\Program Files\\Kestrov\\"},
      // No extension: appended.
      {"C:\\lib\\Veltrane", "C:\\lib\\Veltrane.tlb", "C:\\lib\\"},
      // A dot in a folder name is not the file's extension.
      {"C:\\v2.0\\Veltrane", "C:\\v2.0\\Veltrane.tlb", "C:\\v2.0\\"},
      {"Z:/work/a.b/Veltrane", "Z:/work/a.b/Veltrane.tlb", "Z:/work/a.b/"},
      // Only the last extension goes; an empty one too.
      {"C:\\x\\Veltrane.old.dll", "C:\\x\\Veltrane.old.tlb", "C:\\x\\"},
      {"C:\\x\\Veltrane.", "C:\\x\\Veltrane.tlb", "C:\\x\\"},
      // Any of the three separators, the last one counts.
      {"C:\\a/b\\c.dll", "C:\\a/b\\c.tlb", "C:\\a/b\\"},
      {"C:Veltrane.dll", "C:Veltrane.tlb", "C:"},
      {"\\\\server\\share.x\\Veltrane", "\\\\server\\share.x\\Veltrane.tlb", "\\\\server\\share.x\\"},
      // No folder at all.
      {"Veltrane.dll", "Veltrane.tlb", ""},
      {".dll", ".tlb", ""},
      {"", ".tlb", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(veltrane::TypeLibPathBeside(std::string(c.path)), c.tlb) << c.path;
    EXPECT_EQ(veltrane::HelpDirectoryOf(std::string(c.path)), c.helpDir) << c.path;
    // The wide forms the library uses give the same.
    std::wstring wide(c.path, c.path + std::string(c.path).size());
    std::string tlb(c.tlb), help(c.helpDir);
    EXPECT_EQ(veltrane::TypeLibPathBeside(wide), std::wstring(tlb.begin(), tlb.end())) << c.path;
    EXPECT_EQ(veltrane::HelpDirectoryOf(wide), std::wstring(help.begin(), help.end())) << c.path;
  }
}

TEST(ModulePaths, WideCharactersPassThrough) {
  EXPECT_EQ(veltrane::TypeLibPathBeside(std::wstring(L"C:\\\x0394\x03AD\\\x6F22.dll")),
            L"C:\\\x0394\x03AD\\\x6F22.tlb");
  EXPECT_EQ(veltrane::HelpDirectoryOf(std::wstring(L"C:\\\x0394\x03AD\\\x6F22.dll")),
            L"C:\\\x0394\x03AD\\");
}

}  // namespace
