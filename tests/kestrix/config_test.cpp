#include "kestrix/config.h"

#include <gtest/gtest.h>

#include <thread>

#include "kestrix/exception.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::Service::ConfigNodeRef;
using Kestrix::Service::ConfigRef;
using Kestrix::Service::CreateXmlFileConfig;

ConfigRef LoadXml(const TestSupport::TempDir& dir, const std::string& xml) {
  ConfigRef config;
  CreateXmlFileConfig(dir.Write("c.xml", xml), -1, 0, config);
  config->Load();
  return config;
}

// Message of the exception fn raises, "" when it raises none.
template <class E, class F>
std::string ThrownText(F fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

TEST(ConfigTest, IntegersAreStrictSigned64BitDecimals) {
  TestSupport::TempDir dir;
  struct Case {
    std::string text;
    bool ok;
    int64_t want;
  } cases[] = {
      {"42", true, 42}, {"-7", true, -7}, {"  12\n ", true, 12}, {"007", true, 7},
      {"9223372036854775807", true, INT64_MAX}, {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0}, {"5s", false, 0}, {"abc", false, 0}, {"+5", false, 0},
      {"", false, 0}, {"1.5", false, 0}, {"0x10", false, 0}, {"1 2", false, 0}, {"-", false, 0},
  };
  for (const auto& c : cases) {
    ConfigRef config = LoadXml(dir, "<c><t><n>" + c.text + "</n></t></c>");
    int64_t v = 99;
    if (c.ok) {
      EXPECT_TRUE(config->GetRoot()->GetInt64("t/n", v)) << c.text;
      EXPECT_EQ(v, c.want) << c.text;
      continue;
    }
    const std::string text = ThrownText<Kestrix::InvalidArgumentException>([&] { config->GetRoot()->GetInt64("t/n", v); });
    EXPECT_NE(text.find(dir.File("c.xml")), std::string::npos) << c.text << ": " << text;
    EXPECT_NE(text.find("key t/n: '" + c.text + "'"), std::string::npos) << c.text << ": " << text;
    EXPECT_EQ(v, 99) << c.text;
  }
}

TEST(ConfigTest, BooleansAreExactlyTrueFalseOneZero) {
  TestSupport::TempDir dir;
  ConfigRef config = LoadXml(dir, "<c><t>true</t><f> false </f><o>1</o><z>0</z><T>True</T><y>yes</y><n></n></c>");
  const std::pair<std::string, int> cases[] = {{"t", 1}, {"f", 0}, {"o", 1}, {"z", 0}, {"T", -1}, {"y", -1}, {"n", -1}};
  for (const auto& [key, want] : cases) {
    bool v = false;
    const std::string text =
        ThrownText<Kestrix::InvalidArgumentException>([&, key = key] { config->GetRoot()->GetBool(key, v); });
    EXPECT_EQ(text.empty() ? int(v) : -1, want) << key << ": " << text;
    EXPECT_EQ(want < 0, text.find("key " + key + ": '") != std::string::npos) << text;
  }
}

TEST(ConfigTest, TreeFollowsElementsInDocumentOrderIgnoringMarkup) {
  TestSupport::TempDir dir;
  ConfigRef config = LoadXml(dir,
                             "<?xml version=\"1.0\"?>\n<anything>\n"
                             "  <list a=\"1\"> <z>1</z><!-- note --> <a>2</a> <m/> <?pi x?></list>\n"
                             "  <v>  hello  world \n</v>\n"
                             "  <mixed x=\"y\">one<!-- c -->two<![CDATA[ <three> ]]></mixed>\n"
                             "</anything>\n");
  std::vector<std::string> names;
  ASSERT_TRUE(config->GetRoot()->GetChildNames("list", names));
  EXPECT_EQ(names, (std::vector<std::string>{"z", "a", "m"}));
  ASSERT_TRUE(config->GetRoot()->GetChildNames("", names));
  EXPECT_EQ(names, (std::vector<std::string>{"list", "v", "mixed"}));
  std::string v;
  EXPECT_TRUE(config->GetRoot()->GetString("v", v));
  EXPECT_EQ(v, "hello  world");
  EXPECT_TRUE(config->GetRoot()->GetString("mixed", v));
  EXPECT_EQ(v, "onetwo <three>");
  EXPECT_TRUE(config->GetRoot()->GetString("list/m", v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(config->GetRoot()->GetString("list/a/x", v)) << "attributes are not nodes";
  EXPECT_FALSE(config->GetRoot()->GetChildNames("absent", names));

  ConfigNodeRef node;
  ASSERT_TRUE(config->GetNode("list/z", node));
  EXPECT_EQ(node->GetPath(), "list/z");
  EXPECT_EQ(node->GetName(), "z");
  ASSERT_TRUE(config->GetNode("list", node));
  EXPECT_TRUE(node->GetString("/a/", v)) << "empty path segments are skipped";
  EXPECT_EQ(v, "2");
}

TEST(ConfigTest, PathThroughSameNamedSiblingsIsAmbiguous) {
  TestSupport::TempDir dir;
  ConfigRef config = LoadXml(dir, "<c><t><fs><p>1</p></fs><fs><p>2</p></fs><u>3</u></t></c>");
  std::string v;
  const std::string text =
      ThrownText<Kestrix::InvalidArgumentException>([&] { config->GetRoot()->GetString("t/fs/p", v); });
  EXPECT_NE(text.find("key t/fs/p is ambiguous"), std::string::npos) << text;
  // Siblings can still be listed, and other children read.
  std::vector<std::string> names;
  EXPECT_TRUE(config->GetRoot()->GetChildNames("t", names));
  EXPECT_EQ(names, (std::vector<std::string>{"fs", "fs", "u"}));
  EXPECT_TRUE(config->GetRoot()->GetString("t/u", v));
  EXPECT_EQ(v, "3");
}

TEST(ConfigTest, LoadFailuresNameFileAndLine) {
  TestSupport::TempDir dir;
  struct Case {
    std::string xml, want;
  } cases[] = {
      {"<c>\n<a>1</a>\n<b>\n<d></e>\n</c>\n", ": line 4: "},
      {"<c>\n  <a>\n", ": line 2: Start-end tags mismatch"},
      {"", ": line 1: no root element"},
      {"<!-- only -->\n", ": line 2: no root element"},
      {"<c/>\n\n<d/>", ": line 3: more than one root element"},
      {"<?xml version=\"1.0\"?>\n\n  junk<c/>", ": line 3: text outside the root element"},
      {"\n\n<c a=></c>", ": line 3: "},
  };
  for (const auto& c : cases) {
    const std::string text = ThrownText<Kestrix::Exception>([&] { LoadXml(dir, c.xml); });
    EXPECT_EQ(text.rfind("configuration " + dir.File("c.xml") + c.want, 0), 0u) << c.xml << " -> " << text;
  }
  ConfigRef missing;
  CreateXmlFileConfig(dir.File("absent.xml"), -1, 0, missing);
  EXPECT_EQ(ThrownText<Kestrix::Exception>([&] { missing->Load(); }),
            "configuration " + dir.File("absent.xml") + ": cannot read the file: No such file or directory");
  ConfigRef unnamed;
  CreateXmlFileConfig("", -1, 0, unnamed);
  EXPECT_NE(ThrownText<Kestrix::Exception>([&] { unnamed->Load(); }).find("cannot read the file"),
            std::string::npos)
      << "an empty path is a file path, not a scratch configuration";
  CreateXmlFileConfig(dir.Path(), -1, 0, unnamed);
  EXPECT_NE(ThrownText<Kestrix::Exception>([&] { unnamed->Load(); }).find("Is a directory"), std::string::npos);
}

TEST(ConfigTest, ScratchConfigurationIsBuiltInMemory) {
  ConfigRef scratch = Kestrix::Service::CreateScratchConfig();
  scratch->Load();
  scratch->GetRoot()->SetString("log/name", "Tallywick");
  scratch->GetRoot()->SetString("log/directory", "/var/log/x");
  scratch->GetRoot()->SetString("log/name", "Other");
  std::vector<std::string> names;
  ASSERT_TRUE(scratch->GetRoot()->GetChildNames("log", names));
  EXPECT_EQ(names, (std::vector<std::string>{"name", "directory"}));
  int64_t n = 0;
  EXPECT_EQ(ThrownText<Kestrix::InvalidArgumentException>([&] { scratch->GetRoot()->GetInt64("log/name", n); }),
            "configuration scratch, key log/name: 'Other' is not a signed 64-bit integer");
}

TEST(ConfigTest, LookupsAndUpdatesFromSeveralThreads) {
  ConfigRef config = Kestrix::Service::CreateScratchConfig();
  config->GetRoot()->SetString("statsRegistry/parallelCollect", "true");
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) config->GetRoot()->SetString("w/k" + std::to_string(i % 50), "1");
  });
  int reads = 0;
  for (int i = 0; i < 2000; ++i) {
    bool v = false;
    reads += config->GetRoot()->GetBool("statsRegistry/parallelCollect", v) && v;
  }
  writer.join();
  EXPECT_EQ(reads, 2000);
  std::vector<std::string> names;
  config->GetRoot()->GetChildNames("w", names);
  EXPECT_EQ(names.size(), 50u);
}

}  // namespace
