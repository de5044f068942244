#include "kestrix/config.h"

#include <gtest/gtest.h>

#include <thread>

#include "kestrix/exception.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::Service::ConfigRef;

ConfigRef LoadXml(const TestSupport::TempDir& dir, const std::string& xml) {
  ConfigRef config;
  Kestrix::Service::CreateXmlFileConfig(dir.Write("c.xml", xml), -1, 0, config);
  config->Load();
  return config;
}

// Message of the Kestrix::Exception fn raises, "" when it raises none.
template <class F>
std::string ThrownText(F fn) {
  try {
    fn();
  } catch (const Kestrix::Exception& e) {
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
    const std::string text = ThrownText([&] { EXPECT_TRUE(config->GetRoot()->GetInt64("t/n", v)) << c.text; });
    EXPECT_EQ(v, c.ok ? c.want : 99) << c.text;
    EXPECT_EQ(text.empty(), c.ok) << c.text << ": " << text;
    EXPECT_EQ(c.ok, text.find(dir.File("c.xml") + ", key t/n: '" + c.text + "' is not a signed 64-bit integer") ==
                        std::string::npos)
        << text;
  }
}

TEST(ConfigTest, BooleansAreExactlyTrueFalseOneZero) {
  TestSupport::TempDir dir;
  const std::string tooLong = std::string(63, 'x') + "\xc3\xa9";  // 65 bytes: the cut backs off the 'é'
  ConfigRef config =
      LoadXml(dir, "<c><t>true</t><f> false </f><o>1</o><z>0</z><T>True</T><y>yes</y><n></n><l>" + tooLong + "</l></c>");
  const std::pair<std::string, int> cases[] = {{"t", 1}, {"f", 0}, {"o", 1}, {"z", 0},
                                               {"T", -1}, {"y", -1}, {"n", -1}, {"l", -1}};
  for (const auto& [key, want] : cases) {
    bool v = false;
    const std::string text = ThrownText([&, key = key] { config->GetRoot()->GetBool(key, v); });
    EXPECT_EQ(text.empty() ? int(v) : -1, want) << key << ": " << text;
    EXPECT_EQ(want < 0, text.find("key " + key + ": '") != std::string::npos) << text;
  }
  bool v = false;
  EXPECT_EQ(ThrownText([&] { config->GetRoot()->GetBool("l", v); }),
            "configuration " + dir.File("c.xml") + ", key l: '" + std::string(63, 'x') +
                "...' (65 bytes) is not a boolean (true, false, 1 or 0)");
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
  EXPECT_FALSE(config->GetRoot()->GetChildNames("absent", names));
  const std::pair<std::string, std::string> values[] = {
      {"v", "hello  world"}, {"mixed", "onetwo <three>"}, {"list/m", ""}, {"/list//a/", "2"}};
  for (const auto& [path, want] : values) {
    std::string v = "unset";
    EXPECT_TRUE(config->GetRoot()->GetString(path, v)) << path;
    EXPECT_EQ(v, want) << path;
  }
  std::string v;
  EXPECT_FALSE(config->GetRoot()->GetString("list/a/x", v)) << "attributes are not nodes";
}

TEST(ConfigTest, PathThroughSameNamedSiblingsIsAmbiguous) {
  TestSupport::TempDir dir;
  ConfigRef config = LoadXml(dir, "<c><t><fs><p>1</p></fs><fs><p>2</p></fs><u>3</u></t></c>");
  std::string v;
  EXPECT_NE(ThrownText([&] { config->GetRoot()->GetString("t/fs/p", v); }).find("key t/fs/p is ambiguous"),
            std::string::npos);
  // Siblings can still be listed, and other children read.
  std::vector<std::string> names;
  EXPECT_TRUE(config->GetRoot()->GetChildNames("t", names));
  EXPECT_EQ(names, (std::vector<std::string>{"fs", "fs", "u"}));
  EXPECT_TRUE(config->GetRoot()->GetString("t/u", v));
  EXPECT_EQ(v, "3");
}

TEST(ConfigTest, LoadFailuresNameFileLineAndCause) {
  TestSupport::TempDir dir;
  auto nest = [](int levels, const std::string& inner) {  // the innermost element on line 2
    std::string open, close;
    for (int i = 1; i < levels; ++i) open += "<e>", close += "</e>";
    return open + "\n<e>" + inner + "</e>" + close;
  };
  struct Case {
    std::string xml, want;
  } cases[] = {
      {"<c>\n<a>1</a>\n<b>\n<d></e>\n</c>\n", ": line 4: "},
      {"<c>\n  <a>\n", ": line 2: Start-end tags mismatch"},
      {"", ": line 1: no root element"},
      {"<!-- only -->\n", ": line 2: no root element"},
      {"<c/>\n\n<d/>", ": line 3: more than one root element"},
      {"<?xml version=\"1.0\"?>\n\n  junk<c/>", ": line 3: text outside the root element"},
      {"<c>\n\xe9</c>", ": line 2: byte 0xe9 is not valid UTF-8 (the file must be UTF-8 text)"},
      {"<c>\xc0\xaf</c>", ": line 1: byte 0xc0 is not valid UTF-8"},
      {"<c>\xed\xa0\x80</c>", ": line 1: byte 0xed is not valid UTF-8"},
      {"<c>\n\n<a>\x01</a></c>", ": line 3: control character 0x01 is not allowed"},
      {nest(65, ""), ": line 2: elements nested deeper than 64 levels"},
  };
  for (const auto& c : cases) {
    const std::string text = ThrownText([&] { LoadXml(dir, c.xml); });
    EXPECT_EQ(text.rfind("configuration " + dir.File("c.xml") + c.want, 0), 0u) << c.xml << " -> " << text;
  }
  EXPECT_NO_THROW(LoadXml(dir, nest(64, "\xf4\x8f\xbf\xbf\t\r\n"))) << "64 levels, U+10FFFF, tab and line ends";
  ConfigRef missing;
  Kestrix::Service::CreateXmlFileConfig(dir.File("absent.xml"), -1, 0, missing);
  EXPECT_EQ(ThrownText([&] { missing->Load(); }),
            "configuration " + dir.File("absent.xml") + ": cannot read the file: No such file or directory");
  Kestrix::Service::CreateXmlFileConfig("", -1, 0, missing);
  EXPECT_NE(ThrownText([&] { missing->Load(); }).find("cannot read the file"), std::string::npos) << "not scratch";
  Kestrix::Service::CreateXmlFileConfig(dir.Path(), -1, 0, missing);
  EXPECT_NE(ThrownText([&] { missing->Load(); }).find("Is a directory"), std::string::npos);
}

TEST(ConfigTest, ScratchConfigurationTakesUpdatesFromSeveralThreads) {
  ConfigRef config = Kestrix::Service::CreateScratchConfig();
  config->GetRoot()->SetString("statsRegistry/parallelCollect", "true");
  std::thread writer([&] {
    for (int i = 0; i < 1000; ++i) config->GetRoot()->SetString("w/k" + std::to_string(i % 50), std::to_string(i));
  });
  int reads = 0;
  for (int i = 0; i < 1000; ++i) {
    bool v = false;
    reads += config->GetRoot()->GetBool("statsRegistry/parallelCollect", v) && v;
  }
  writer.join();
  EXPECT_EQ(reads, 1000);
  std::vector<std::string> names;
  config->GetRoot()->GetChildNames("w", names);
  EXPECT_EQ(names.size(), 50u) << "a second write replaces the value";
  int64_t n = 0;
  EXPECT_EQ(ThrownText([&] { config->GetRoot()->GetInt64("w/k49", n); }), "");
  EXPECT_EQ(n, 999);
  EXPECT_EQ(ThrownText([&] { config->GetRoot()->GetInt64("statsRegistry/parallelCollect", n); }),
            "configuration scratch, key statsRegistry/parallelCollect: 'true' is not a signed 64-bit integer");
}

}  // namespace
