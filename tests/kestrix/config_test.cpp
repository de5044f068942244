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

// Integers are an optional '-' and decimal digits within 64 bits; booleans are
// exactly true, false, 1 or 0. Anything else names the file, key and text.
TEST(ConfigTest, TypedValuesAreStrict) {
  TestSupport::TempDir dir;
  const std::string longText = std::string(63, 'x') + "\xc3\xa9";  // 65 bytes: the cut backs off the 'é'
  const std::pair<std::string, std::string> cases[] = {  // type and text -> value, "!" for an error
      {"i42", "42"}, {"i-7", "-7"}, {"i  12\n ", "12"}, {"i007", "7"}, {"i9223372036854775807", "9223372036854775807"},
      {"i-9223372036854775808", "-9223372036854775808"}, {"i9223372036854775808", "!"}, {"i5s", "!"}, {"iabc", "!"},
      {"i+5", "!"}, {"i", "!"}, {"i1.5", "!"}, {"i0x10", "!"}, {"i1 2", "!"}, {"i-", "!"}, {"btrue", "1"},
      {"b false ", "0"}, {"b1", "1"}, {"b0", "0"}, {"bTrue", "!"}, {"byes", "!"}, {"b", "!"}};
  for (const auto& [typeAndText, want] : cases) {
    const bool isInt = typeAndText[0] == 'i';
    const std::string text = typeAndText.substr(1);
    ConfigRef config = LoadXml(dir, "<c><t><n>" + text + "</n></t></c>");
    std::string got = "unset";
    const std::string error = ThrownText([&] {
      int64_t i = 99;
      bool b = false;
      if (isInt ? config->GetRoot()->GetInt64("t/n", i) : config->GetRoot()->GetBool("t/n", b)) {
        got = isInt ? std::to_string(i) : std::to_string(b);
      }
    });
    const std::string kind = isInt ? "a signed 64-bit integer" : "a boolean (true, false, 1 or 0)";
    EXPECT_EQ(want == "!" ? error : got, want == "!" ? "configuration " + dir.File("c.xml") + ", key t/n: '" + text +
                                                           "' is not " + kind
                                                     : want)
        << typeAndText << " " << error;
  }
  ConfigRef config = LoadXml(dir, "<c><l>" + longText + "</l></c>");
  int64_t v = 0;
  EXPECT_EQ(ThrownText([&] { config->GetRoot()->GetInt64("l", v); }),
            "configuration " + dir.File("c.xml") + ", key l: '" + std::string(63, 'x') +
                "...' (65 bytes) is not a signed 64-bit integer");
}

TEST(ConfigTest, TreeFollowsElementsInDocumentOrderIgnoringMarkup) {
  TestSupport::TempDir dir;
  ConfigRef config = LoadXml(dir,
                             "<?xml version=\"1.0\"?>\n<anything>\n"
                             "  <list a=\"1\"> <z>1</z><!-- note --> <a>2</a> <m/> <?pi x?></list>\n"
                             "  <v>  hello  world \n</v>\n"
                             "  <mixed x=\"y\">one<!-- c -->two<![CDATA[ <three> ]]></mixed>\n"
                             "  <fs><p>1</p></fs><fs><p>2</p></fs>\n"
                             "</anything>\n");
  std::vector<std::string> names;
  ASSERT_TRUE(config->GetRoot()->GetChildNames("list", names));
  EXPECT_EQ(names, (std::vector<std::string>{"z", "a", "m"}));
  ASSERT_TRUE(config->GetRoot()->GetChildNames("", names));
  EXPECT_EQ(names, (std::vector<std::string>{"list", "v", "mixed", "fs", "fs"})) << "same-named siblings are listed";
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
  EXPECT_EQ(ThrownText([&] { config->GetRoot()->GetString("fs/p", v); }),
            "configuration " + dir.File("c.xml") + ": key fs/p is ambiguous: more than one element fs");
}

TEST(ConfigTest, LoadFailuresNameFileLineAndCause) {
  TestSupport::TempDir dir;
  auto nest = [](int levels, const std::string& inner) {  // the innermost element on line 2
    std::string open, close;
    for (int i = 1; i < levels; ++i) open += "<e>", close += "</e>";
    return open + "\n<e>" + inner + "</e>" + close;
  };
  const std::pair<std::string, std::string> cases[] = {
      {"<c>\n<a>1</a>\n<b>\n<d></e>\n</c>\n", ": line 4: "},
      {"<c>\n  <a>\n", ": line 2: Start-end tags mismatch"},
      {"", ": line 1: no root element"},
      {"<!-- only -->\n", ": line 2: no root element"},
      {"<c/>\n\n<d/>", ": line 3: more than one root element"},
      {"<?xml version=\"1.0\"?>\n\n  junk<c/>", ": line 3: text outside the root element"},
      {"<c>\n\xe9</c>", ": line 2: byte 0xe9 is not valid UTF-8 (the file must be UTF-8 text)"},
      {"<c>\n\n<a>\x01</a></c>", ": line 3: control character 0x01 is not allowed"},
      {nest(65, ""), ": line 2: elements nested deeper than 64 levels"},
  };
  for (const auto& [xml, want] : cases) {
    const std::string text = ThrownText([&, xml = xml] { LoadXml(dir, xml); });
    EXPECT_EQ(text.rfind("configuration " + dir.File("c.xml") + want, 0), 0u) << xml << " -> " << text;
  }
  EXPECT_NO_THROW(LoadXml(dir, nest(64, "\xf4\x8f\xbf\xbf\t\r\n"))) << "64 levels, U+10FFFF, tab and line ends";
  const std::pair<std::string, std::string> unreadable[] = {
      {dir.File("absent.xml"), "No such file or directory"},
      {"", "No such file or directory"},
      {dir.Path(), "Is a directory"}};
  for (const auto& [path, want] : unreadable) {
    ConfigRef config;
    Kestrix::Service::CreateXmlFileConfig(path, -1, 0, config);  // "" is a file path, not a scratch configuration
    EXPECT_EQ(ThrownText([&] { config->Load(); }), "configuration " + path + ": cannot read the file: " + want);
  }
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
  EXPECT_TRUE(config->GetRoot()->GetInt64("w/k49", n));
  EXPECT_EQ(n, 999);
  EXPECT_EQ(ThrownText([&] { config->GetRoot()->GetInt64("statsRegistry/parallelCollect", n); }),
            "configuration scratch, key statsRegistry/parallelCollect: 'true' is not a signed 64-bit integer");
}

}  // namespace
