// The registry store: typed values through the file, reading as
// RegQueryValueEx does, and hand-written files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/registry/registry.h"
#include "support/temp_folder.h"

namespace mivo::platform {
namespace {

using mivo::testing::TempFolder;

TEST(Registry, ValuesOfEveryTypeSurviveTheFile) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.Ok());
  // In a folder that does not exist yet.
  Registry registry(tmp.PathOf("config/mivo/registry"));
  const std::string key = "Software\\MarineCat\\GOGO_DLL";
  const std::string awkward = std::string("tab\there \\ back\\slash, new\nline, nul") + '\0' + "end ";
  struct Case {
    const char* name;
    std::uint32_t type;
    std::string data;
  } cases[] = {
      {"INSTPATH", REG_SZ, std::string("/opt/午後/lib") + '\0'},
      {"Awkward", REG_SZ, awkward + '\0'},
      {"Expand", REG_EXPAND_SZ, std::string("$HOME/gogo") + '\0'},
      {"List", REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
      {"Count", REG_DWORD, std::string("\x10\x00\x00\x80", 4)},
      {"Big", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
      {"Bytes", REG_BINARY, std::string("\x00\xff\x7f", 3)},
      {"Odd", 9, std::string("\x01", 1)},
      {"SzWithoutNul", REG_SZ, "abc"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(registry.SetValue(key, c.name, c.type, c.data), ERROR_SUCCESS) << c.name;
  }
  // Replacing keeps one value; another key beside it.
  ASSERT_EQ(registry.SetString(key, "instpath", "/usr/lib/gogo"), ERROR_SUCCESS);
  ASSERT_EQ(registry.SetString("Software\\Other", "INSTPATH", "elsewhere"), ERROR_SUCCESS);

  RegistryKey k;
  ASSERT_EQ(registry.OpenKey("\\software\\marinecat\\gogo_dll\\", &k), ERROR_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RegistryValue* v = k.Find(c.name);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, c.type);
    if (std::strcmp(c.name, "INSTPATH") == 0) {
      EXPECT_EQ(v->data, std::string("/usr/lib/gogo") + '\0');
    } else {
      EXPECT_EQ(v->data, c.data);
    }
  }
  EXPECT_EQ(registry.OpenKey("Software\\MarineCat", &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Registry(tmp.PathOf("nothing")).OpenKey(key, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry.SetValue(key, "a=b", REG_SZ, "x"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(registry.SetValue("Bad]Key", "a", REG_SZ, "x"), ERROR_INVALID_PARAMETER);
}

TEST(Registry, QueryValueFillsABufferAsTheRegistryDoes) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.Ok());
  Registry registry(tmp.PathOf("registry"));
  ASSERT_EQ(registry.SetString("K", "V", "abcdef"), ERROR_SUCCESS);
  RegistryKey key;
  ASSERT_EQ(registry.OpenKey("K", &key), ERROR_SUCCESS);

  std::uint32_t type = 0, size = 0;
  EXPECT_EQ(key.QueryValue("V", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 7u);  // with the NUL

  char small[4] = {'x', 'x', 'x', 'x'};
  size = sizeof small;
  EXPECT_EQ(key.QueryValue("V", &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(small[0], 'x');

  char big[16] = {};
  size = sizeof big;
  EXPECT_EQ(key.QueryValue("v", nullptr, big, &size), ERROR_SUCCESS);
  EXPECT_STREQ(big, "abcdef");
  EXPECT_EQ(key.QueryValue("missing", &type, big, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.QueryValue("V", &type, big, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(Registry, ReadsAHandWrittenFile) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.Ok());
  const std::string path = tmp.PathOf("registry");
  mivo::testing::WriteBytes(path,
                            "# written by hand\r\n"
                            "[Software\\MarineCat\\GOGO_DLL]\r\n"
                            "  INSTPATH = sz:C:\\gogo\\x41\\\\\r\n"
                            "; another comment\n"
                            "Count=dword:42\n"
                            "Broken=dword:forty-two\n"
                            "NoType=just text\n"
                            "Hex=binary:01,02 ,ff\n"
                            "[]\n"
                            "Orphan=sz:ignored\n"
                            "[Software\\MarineCat\\GOGO_DLL]\n"
                            "Later=sz: kept as typed \n");
  RegistryKey key;
  ASSERT_EQ(Registry(path).OpenKey("Software\\MarineCat\\GOGO_DLL", &key), ERROR_SUCCESS);
  ASSERT_NE(key.Find("INSTPATH"), nullptr);
  // "\g" stays as typed; "\x41" and "\\" are escapes.
  EXPECT_EQ(key.Find("INSTPATH")->data, std::string("C:\\gogoA\\") + '\0');
  ASSERT_NE(key.Find("Count"), nullptr);
  EXPECT_EQ(key.Find("Count")->data, std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(key.Find("Broken"), nullptr);
  EXPECT_EQ(key.Find("NoType"), nullptr);
  ASSERT_NE(key.Find("Hex"), nullptr);
  EXPECT_EQ(key.Find("Hex")->data, std::string("\x01\x02\xff", 3));
  EXPECT_EQ(key.Find("Orphan"), nullptr);
  ASSERT_NE(key.Find("Later"), nullptr);
  EXPECT_EQ(key.Find("Later")->data, std::string(" kept as typed ") + '\0');
}

TEST(Registry, DefaultPathFollowsXdgConfigHome) {
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = oldXdg ? oldXdg : "";
  ::setenv("XDG_CONFIG_HOME", "/tmp/xdg-test", 1);
  EXPECT_EQ(Registry::DefaultPath(), "/tmp/xdg-test/mivo/registry");
  ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') {
    EXPECT_EQ(Registry::DefaultPath(), std::string(home) + "/.config/mivo/registry");
  }
  if (oldXdg) {
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
}

}  // namespace
}  // namespace mivo::platform
