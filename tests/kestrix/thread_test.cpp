#include "kestrix/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using Kestrix::System::GetThisThread;

struct Tracked : Kestrix::ObjectImpl {
  Tracked(int v, std::atomic<int>* d) : value(v), destroyed(d) {}
  ~Tracked() override { ++*destroyed; }
  int value;
  std::atomic<int>* destroyed;
};

int ValueOf(const Kestrix::Ref<Kestrix::Object>& o) {
  auto t = Kestrix::RefCast<Tracked>(o);
  return t ? t->value : -1;
}

TEST(ThreadTest, EachThreadHasItsOwnValuePerKeyReleasedAtThreadEnd) {
  const auto key = Kestrix::System::ReserveTlsKey(), other = Kestrix::System::ReserveTlsKey();
  std::atomic<int> destroyed{0};
  GetThisThread().SetValue(key, Kestrix::MakeRef<Tracked>(1, &destroyed));
  int seen[3] = {};
  std::thread t([&] {
    seen[0] = ValueOf(GetThisThread().GetValue(key));
    GetThisThread().SetValue(key, Kestrix::MakeRef<Tracked>(2, &destroyed));
    GetThisThread().SetValue(key, Kestrix::MakeRef<Tracked>(3, &destroyed));  // replaces and releases 2
    seen[1] = ValueOf(GetThisThread().GetValue(key));
    seen[2] = ValueOf(GetThisThread().GetValue(other));
  });
  t.join();
  EXPECT_EQ(std::vector<int>(seen, seen + 3), (std::vector<int>{-1, 3, -1}));
  EXPECT_EQ(destroyed.load(), 2) << "the thread's values are released when it ends";
  EXPECT_EQ(ValueOf(GetThisThread().GetValue(key)), 1);
  GetThisThread().SetValue(key, Kestrix::Ref<Kestrix::Object>());
  EXPECT_EQ(destroyed.load(), 3);
}

}  // namespace
