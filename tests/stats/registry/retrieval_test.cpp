#include <gtest/gtest.h>

#include <thread>

#include "registryTestSupport.h"
#include "stats/registry/resultImpl.h"
#include "stats/registry/statsRegistryImpl.h"

namespace RegistryTest {
namespace {

class Retrieval : public ProviderFixture {
protected:
  void SetUp() override {
    ProviderFixture::SetUp();
    // cpu (type 7, wildcards allowed) and disk (type 22, no wildcards).
    p1 = Provide("P1", {Src(1, "cpu.used", {Attr("cpu", 7, true)}),
                        Src(2, "disk.io", {Attr("disk", 22, false), Attr("part", 22, true)})});
    p2 = Provide("P2", {Src(3, "mem.free"), Src(4, "net.rx", {Attr("intf", 8, true)})});
  }
  // Registry ids: P1 0 (cpu.used), 1 (disk.io); P2 2 (mem.free), 3 (net.rx).
  TestProviderRef p1, p2;
};

TEST_F(Retrieval, InvalidInstancesAreLeftOutWithTheirWarning) {
  struct Case {
    const char* what;
    StatInstanceList request;
    std::vector<std::string> calls;     // handler calls, in order
    std::vector<std::string> warnings;  // warning lines, in order
  };
  const Case cases[] = {
      {"empty request", {}, {}, {}},
      {"unknown stat id", {MakeStatInstance(42, {}), MakeStatInstance(2, {})}, {"P2:[2()]"},
       {"failed to find stat 42"}},
      {"too many values", {MakeStatInstance(0, {"0", "1"})}, {}, {"expect attribute count 1, got 2"}},
      {"too few values", {MakeStatInstance(1, {"sda"})}, {}, {"expect attribute count 2, got 1"}},
      {"wildcard where not allowed", {MakeStatInstance(1, {"*", "1"}), MakeStatInstance(0, {"3"})},
       {"P1:[0('3')]"}, {"wildcard not supported for stat (1:0)."}},
      {"wildcard where allowed passes unchanged", {MakeStatInstance(1, {"sda", "*"}), MakeStatInstance(0, {"*"})},
       {"P1:[1('sda','*'),0('*')]"}, {}},
      {"values that merely contain a star are no wildcards", {MakeStatInstance(1, {"**", "x*"})},
       {"P1:[1('**','x*')]"}, {}},
      {"only invalid instances call no handler",
       {MakeStatInstance(7, {}), MakeStatInstance(2, {"x"}), MakeStatInstance(1, {"*", "*"})}, {},
       {"failed to find stat 7", "expect attribute count 0, got 1", "wildcard not supported for stat (1:0)."}},
      {"an empty reference is left out", {StatInstanceList::value_type(), MakeStatInstance(2, {})}, {"P2:[2()]"},
       {"empty stat instance at position 0 left out"}},
  };
  for (const auto& c : cases) {
    const size_t linesBefore = capture.Lines().size();
    calls.clear();
    StatInstanceValueList values;
    registry->GetStatValues(c.request, values);
    EXPECT_EQ(calls, c.calls) << c.what;
    EXPECT_EQ(capture.Messages("warning", linesBefore), c.warnings) << c.what;
  }
}

// Serially on the caller's thread, in parallel on pool threads: one call per
// handler, in handler order, with the instances in request order; the list
// form appends, and the result counts the whole list. The service runs each
// sampling loop as a never-ending task on the application's pool; a parallel
// retrieval must still get pool threads.
TEST_F(Retrieval, SerialAndParallelCollectionGiveTheSameValuesBesideNeverEndingLoops) {
  std::atomic<int> running{0};
  TestSupport::Flag stop, up;
  auto pool = Kestrix::Service::GetApp()->GetWorkPool();
  for (int i = 0; i < 2; ++i) {
    pool->Run([&] {
      if (++running == 2) up.Set();
      stop.Wait();
    });
  }
  ASSERT_TRUE(up.Wait());
  const StatInstanceList request = {MakeStatInstance(3, {"eth0"}), MakeStatInstance(0, {"1"}), MakeStatInstance(2, {}),
                                    MakeStatInstance(3, {"*"}), MakeStatInstance(1, {"sda", "1"})};
  const std::vector<std::string> want = {"0('1')=1001", "1('sda','1')=2002", "2()=3000", "3('*')=4001",
                                         "3('eth0')=4001", "9()=5"};
  for (const char* parallel : {"false", "true"}) {
    ScopedParallelCollect setting(parallel);
    calls.clear();
    StatInstanceValueList values = {Kestrix::MakeRef<StatInstanceValue>(9, AttributeValues{}, 5, false)};
    registry->GetStatValues(request, values);
    EXPECT_EQ(InstanceToString(*values[0]), "9()") << "earlier entries stay first";
    EXPECT_EQ(ValueTexts(values), want) << parallel;
    for (size_t i = 1; i < values.size(); ++i) EXPECT_TRUE(values[i]->HasValue()) << InstanceToString(*values[i]);
    if (parallel[0] == 't') std::sort(calls.begin(), calls.end());  // parallel calls end in any order
    EXPECT_EQ(calls, (std::vector<std::string>{"P1:[0('1'),1('sda','1')]", "P2:[3('eth0'),2(),3('*')]"})) << parallel;
    EXPECT_EQ(std::max(p1->lastCount.load(), p2->lastCount.load()), 6u) << "the count includes earlier entries";
    EXPECT_EQ(p1->lastThread == std::this_thread::get_id(), parallel[0] == 'f') << "pool threads for parallel";
  }
  EXPECT_EQ(running.load(), 2);
  stop.Set();
  EXPECT_TRUE(pool->Wait(60000000));
}

TEST_F(Retrieval, UnreadableParallelSettingCollectsSeriallyWithOneWarning) {
  ScopedParallelCollect bad("yes");
  StatInstanceValueList values;
  registry->GetStatValues({MakeStatInstance(2, {})}, values);
  registry->GetStatValues({MakeStatInstance(2, {})}, values);
  EXPECT_EQ(values.size(), 2u);
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_EQ(p2->lastThread, std::this_thread::get_id());
  EXPECT_EQ(capture.Messages("warning"), (std::vector<std::string>{"configuration scratch, key "
                                                                   "statsRegistry/parallelCollect: 'yes' is not a "
                                                                   "boolean (true, false, 1 or 0); collecting serially"}));
}

TEST_F(Retrieval, ThrowingHandlerIsReportedAfterEveryHandlerRan) {
  const StatInstanceList request = {MakeStatInstance(2, {}), MakeStatInstance(0, {"0"})};
  p1->failure = "P1 cannot read";
  struct Case {
    const char* parallel;
    bool p2Fails;
    std::vector<std::string> values;  // serially the failing P1 ends the collection
  } cases[] = {{"false", false, {}}, {"true", false, {"2()=3000"}}, {"true", true, {}}};
  for (const auto& c : cases) {
    ScopedParallelCollect setting(c.parallel);
    p2->failure = c.p2Fails ? "P2 cannot read" : "";
    StatInstanceValueList values;
    try {
      registry->GetStatValues(request, values);
      ADD_FAILURE() << "no exception, parallel " << c.parallel;
    } catch (const Kestrix::Exception& e) {
      EXPECT_STREQ(e.what(), "P1 cannot read") << "the first handler's error, parallel " << c.parallel;
    }
    EXPECT_EQ(ValueTexts(values), c.values) << "parallel " << c.parallel;
    StatsRegistryItemRef item = Register(registry, {});
    EXPECT_TRUE(item) << "the read lock is free again, parallel " << c.parallel;
  }
  EXPECT_EQ(calls.size(), 5u) << "1 serial call, then 2 parallel calls twice";
}

// A pool that winds down refuses tasks; the pass still gets every value,
// collected on the calling thread.
TEST_F(Retrieval, RetrieverCollectsOnTheCallerWhenThePoolRefuses) {
  auto impl = Kestrix::RefCast<Registry::RegistryImpl>(registry);
  ASSERT_TRUE(impl);
  Kestrix::Service::WorkPoolRef pool = Kestrix::Service::CreateWorkPool("refusing", 2);
  pool->BeginWindDown();
  Registry::HandlerGroups groups = {{1, {MakeStatInstance(0, {"0"})}}, {2, {MakeStatInstance(2, {})}}};
  StatInstanceValueList values;
  const Kestrix::Ref<Registry::ResultImpl> result(new Registry::ResultImpl(values));
  Registry::StatsRetrieverRef retriever(new Registry::StatsRetriever(capture.logger, pool));
  std::exception_ptr error;
  {
    Kestrix::System::ReadGuard guard(*impl);
    error = retriever->Retrieve(*impl, groups, *result);
  }
  EXPECT_FALSE(error);
  EXPECT_EQ(ValueTexts(values), (std::vector<std::string>{"0('0')=1001", "2()=3000"}));
  EXPECT_EQ(p1->lastThread, std::this_thread::get_id());
  size_t refusals = 0;
  for (const auto& m : capture.Messages("warning")) refusals += m.rfind("work pool refused the call of handler", 0) == 0;
  EXPECT_EQ(refusals, 2u);
}

}  // namespace
}  // namespace RegistryTest
