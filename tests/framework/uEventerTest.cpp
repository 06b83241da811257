#include "framework/uEventer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "framework/ui_MyInterfacedObject.h"

namespace {

using TTextEventer = TEventer<int>;
using THandler = TTextEventer::THandler;

struct TRecorder {
  std::vector<std::string>* log;
  std::string tag;
  TTextEventer* eventer = nullptr;
  void Record(int v) { log->push_back(tag + std::to_string(v)); }
  void Throw(int v) {
    log->push_back(tag + std::to_string(v));
    throw std::runtime_error("handler failed");
  }
  void RemoveSelf(int v) {
    log->push_back(tag + std::to_string(v));
    eventer->RemoveHandler(THandler::Of<&TRecorder::RemoveSelf>(this));
  }
  void AddAnother(int v) {
    log->push_back(tag + std::to_string(v));
    eventer->AddHandler(THandler::Of<&TRecorder::Record>(this));
  }
};

TEST(BoundMethodTest, EqualOnlyWhenFunctionAndObjectAgree) {
  std::vector<std::string> log;
  TRecorder a{&log, "a"}, b{&log, "b"};
  EXPECT_EQ(THandler::Of<&TRecorder::Record>(&a), THandler::Of<&TRecorder::Record>(&a));
  EXPECT_NE(THandler::Of<&TRecorder::Record>(&a), THandler::Of<&TRecorder::Record>(&b));
  EXPECT_NE(THandler::Of<&TRecorder::Record>(&a), THandler::Of<&TRecorder::Throw>(&a));
  EXPECT_FALSE(THandler());
}

TEST(EventerTest, FireWithoutHandlersDoesNothing) {
  TTextEventer e;
  e.Fire(1);
  EXPECT_EQ(e.HandlerCount(), 0u);
}

TEST(EventerTest, HandlersRunOnceEachInOrderAdded) {
  std::vector<std::string> log;
  TRecorder a{&log, "a"}, b{&log, "b"}, c{&log, "c"};
  TTextEventer e;
  e.AddHandler(THandler::Of<&TRecorder::Record>(&a));
  e.AddHandler(THandler::Of<&TRecorder::Record>(&b));
  e.AddHandler(THandler::Of<&TRecorder::Record>(&c));
  e.Fire(1);
  e.Fire(2);
  EXPECT_EQ(log, (std::vector<std::string>{"a1", "b1", "c1", "a2", "b2", "c2"}));
}

TEST(EventerTest, RaisingHandlerDoesNotStopTheOthers) {
  std::vector<std::string> log;
  TRecorder a{&log, "a"}, b{&log, "b"};
  TTextEventer e;
  e.AddHandler(THandler::Of<&TRecorder::Throw>(&a));
  e.AddHandler(THandler::Of<&TRecorder::Record>(&b));
  EXPECT_NO_THROW(e.Fire(7));
  EXPECT_EQ(log, (std::vector<std::string>{"a7", "b7"}));
}

TEST(EventerTest, DuplicateHandlerRunsTwiceAndOneRemovalLeavesOne) {
  std::vector<std::string> log;
  TRecorder a{&log, "a"}, b{&log, "b"};
  TTextEventer e;
  e.AddHandler(THandler::Of<&TRecorder::Record>(&a));
  e.AddHandler(THandler::Of<&TRecorder::Record>(&b));
  e.AddHandler(THandler::Of<&TRecorder::Record>(&a));
  e.Fire(1);
  EXPECT_EQ(log, (std::vector<std::string>{"a1", "b1", "a1"}));
  log.clear();
  e.RemoveHandler(THandler::Of<&TRecorder::Record>(&a));  // the first entry goes
  e.RemoveHandler(THandler::Of<&TRecorder::Throw>(&a));   // not registered: no change
  e.Fire(2);
  EXPECT_EQ(log, (std::vector<std::string>{"b2", "a2"}));
}

TEST(EventerTest, HandlerRemovingItselfSkipsTheNextInLineForThatFire) {
  std::vector<std::string> log;
  TTextEventer e;
  TRecorder a{&log, "a", &e}, b{&log, "b"}, c{&log, "c"};
  e.AddHandler(THandler::Of<&TRecorder::RemoveSelf>(&a));
  e.AddHandler(THandler::Of<&TRecorder::Record>(&b));
  e.AddHandler(THandler::Of<&TRecorder::Record>(&c));
  e.Fire(1);
  // b moved into a's slot after a was called, so this Fire goes on with c.
  EXPECT_EQ(log, (std::vector<std::string>{"a1", "c1"}));
  log.clear();
  e.Fire(2);
  EXPECT_EQ(log, (std::vector<std::string>{"b2", "c2"}));
}

TEST(EventerTest, HandlerAddedDuringFireIsCalledInTheSameFire) {
  std::vector<std::string> log;
  TTextEventer e;
  TRecorder a{&log, "a", &e};
  e.AddHandler(THandler::Of<&TRecorder::AddAnother>(&a));
  e.Fire(1);
  EXPECT_EQ(log, (std::vector<std::string>{"a1", "a1"}));
  EXPECT_EQ(e.HandlerCount(), 2u);
}

class TCounted : public TMyInterfacedObject {
 public:
  explicit TCounted(bool* destroyed) : FDestroyed(destroyed) {}
  ~TCounted() override { *FDestroyed = true; }

 private:
  bool* FDestroyed;
};

struct THolder {
  TIntf<TCounted> held;
  bool* destroyed;
  bool aliveInSecondHandler = false;
  void Drop(TIntf<TCounted>) { held.reset(); }
  void Check(TIntf<TCounted> arg) { aliveInSecondHandler = !*destroyed && arg->RefCount() >= 1; }
};

TEST(EventerTest, FireHoldsItsInterfaceArgumentsWhileHandlersRun) {
  bool destroyed = false;
  TEventer<TIntf<TCounted>> e;
  THolder holder{Make<TCounted>(&destroyed), &destroyed};
  e.AddHandler(TEventer<TIntf<TCounted>>::THandler::Of<&THolder::Drop>(&holder));
  e.AddHandler(TEventer<TIntf<TCounted>>::THandler::Of<&THolder::Check>(&holder));
  TCounted* raw = holder.held.get();
  e.Fire(TIntf<TCounted>(raw));
  EXPECT_TRUE(holder.aliveInSecondHandler);
  EXPECT_TRUE(destroyed);  // the last reference went with the end of Fire
}

}  // namespace
