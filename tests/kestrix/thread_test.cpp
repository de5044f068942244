#include "kestrix/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using Kestrix::System::GetThisThread;

struct Tracked : Kestrix::ObjectImpl {
  explicit Tracked(int v, std::atomic<int>* d) : value(v), destroyed(d) {}
  ~Tracked() override { ++*destroyed; }
  int value;
  std::atomic<int>* destroyed;
};

int ValueOf(const Kestrix::Ref<Kestrix::Object>& o) {
  auto t = Kestrix::RefCast<Tracked>(o);
  return t ? t->value : -1;
}

TEST(ThreadTest, EachThreadHasItsOwnValuePerKey) {
  const auto key = Kestrix::System::ReserveTlsKey();
  const auto other = Kestrix::System::ReserveTlsKey();
  EXPECT_NE(key, other);
  std::atomic<int> destroyed{0};
  GetThisThread().SetValue(key, Kestrix::MakeRef<Tracked>(1, &destroyed));
  int seenBefore = 0, seenAfter = 0, seenOther = 0;
  uint64_t threadId = 0;
  std::thread t([&] {
    seenBefore = ValueOf(GetThisThread().GetValue(key));
    GetThisThread().SetValue(key, Kestrix::MakeRef<Tracked>(2, &destroyed));
    GetThisThread().SetValue(key, Kestrix::MakeRef<Tracked>(3, &destroyed));  // replaces and releases 2
    seenAfter = ValueOf(GetThisThread().GetValue(key));
    seenOther = ValueOf(GetThisThread().GetValue(other));
    threadId = GetThisThread().GetId();
  });
  t.join();
  EXPECT_EQ(seenBefore, -1);
  EXPECT_EQ(seenAfter, 3);
  EXPECT_EQ(seenOther, -1);
  EXPECT_NE(threadId, GetThisThread().GetId());
  EXPECT_EQ(destroyed.load(), 2) << "the thread's values are released when it ends";
  EXPECT_EQ(ValueOf(GetThisThread().GetValue(key)), 1);
  GetThisThread().SetValue(key, Kestrix::Ref<Kestrix::Object>());
  EXPECT_EQ(destroyed.load(), 3);
}

}  // namespace
