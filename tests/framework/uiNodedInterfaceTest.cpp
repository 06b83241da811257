#include "framework/uiNodedInterface.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <string>
#include <vector>

namespace {

class TPlainNode : public TNodedInterface {
 public:
  TPlainNode() = default;
  TPlainNode(TXmlNode node, TIntf<IInterface> owner) : TNodedInterface(std::move(node), std::move(owner)) {}
};

using TNode = TIntf<INodedInterface>;

TNode NewNode(const std::string& name = "", TNode owner = nullptr) {
  TNode n = Make<TPlainNode>(nullptr, TIntf<IInterface>(owner));
  if (!name.empty()) n->SetName(name);
  return n;
}

// Records descendant events of one node as "+name@depth" / "-name@depth".
struct TDescentLog {
  std::vector<std::string> entries;
  void Added(TIntf<INodedInterface> node, std::int32_t depth) {
    entries.push_back("+" + node->GetName() + "@" + std::to_string(depth));
  }
  void Removed(TIntf<INodedInterface> node, std::int32_t depth) {
    entries.push_back("-" + node->GetName() + "@" + std::to_string(depth));
  }
  void Watch(const TNode& n) {
    n->DescendantAdded().AddHandler(TeventerDescentEvent::THandler::Of<&TDescentLog::Added>(this));
    n->DescendantRemoved().AddHandler(TeventerDescentEvent::THandler::Of<&TDescentLog::Removed>(this));
  }
  void Unwatch(const TNode& n) {
    n->DescendantAdded().RemoveHandler(TeventerDescentEvent::THandler::Of<&TDescentLog::Added>(this));
    n->DescendantRemoved().RemoveHandler(TeventerDescentEvent::THandler::Of<&TDescentLog::Removed>(this));
  }
};

class NodedTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { FLiveAtStart = LiveNodeCount(); }
  void TearDown() override { EXPECT_EQ(LiveNodeCount(), FLiveAtStart) << "a node leaked"; }
  std::int32_t FLiveAtStart = 0;
};

TEST_F(NodedTreeTest, NumbersGrowByOneAndNewNodesHaveIdentity) {
  TNode a = NewNode();
  TNode b = NewNode();
  EXPECT_EQ(b->GetId(), a->GetId() + 1);
  EXPECT_GE(a->GetId(), 2);
  EXPECT_EQ(a->GetName(), "(anonymous namespace)::TPlainNode");
  EXPECT_TRUE(a->GetEnabled());
  EXPECT_EQ(a->GetGUIDString().size(), 38u);
  EXPECT_NE(a->GetGUIDString(), b->GetGUIDString());
  EXPECT_EQ(GuidToString(a->GetGUID()), a->GetGUIDString());
}

TEST_F(NodedTreeTest, SettingOwnerOrAddingChildAnnouncesDepthOneAndTwo) {
  TNode root = NewNode("root");
  TNode mid = NewNode("mid", root);
  TDescentLog rootLog, midLog;
  rootLog.Watch(root);
  midLog.Watch(mid);

  TNode leaf1 = NewNode("leaf1");
  leaf1->SetOwner(TIntf<IInterface>(mid));  // owner side
  TNode leaf2 = NewNode("leaf2");
  EXPECT_EQ(mid->AddChild(TIntf<IInterface>(leaf2)), 1);  // child side
  EXPECT_TRUE(SameObject(leaf2->GetOwner(), mid));

  EXPECT_EQ(midLog.entries, (std::vector<std::string>{"+leaf1@1", "+leaf2@1"}));
  EXPECT_EQ(rootLog.entries, (std::vector<std::string>{"+leaf1@2", "+leaf2@2"}));

  rootLog.Unwatch(root);
  midLog.Unwatch(mid);
  root->DetachTree();
}

TEST_F(NodedTreeTest, AddingTheSameChildTwiceKeepsOneEntry) {
  TNode owner = NewNode("owner");
  TNode child = NewNode("child");
  EXPECT_EQ(owner->AddChild(TIntf<IInterface>(child)), 0);
  EXPECT_EQ(owner->AddChild(TIntf<IInterface>(child)), -1);
  EXPECT_EQ(owner->GetChildCount(), 1);
  EXPECT_EQ(owner->RemoveChild(TIntf<IInterface>(NewNode())), -1);
  owner->DetachChildren();
}

TEST_F(NodedTreeTest, MovingAChildAnnouncesOnBothSides) {
  TNode first = NewNode("first");
  TNode second = NewNode("second");
  TNode child = NewNode("child", first);
  TDescentLog firstLog, secondLog;
  firstLog.Watch(first);
  secondLog.Watch(second);

  child->SetOwner(TIntf<IInterface>(second));

  EXPECT_EQ(first->GetChildCount(), 0);
  EXPECT_EQ(second->IndexOfChild(TIntf<IInterface>(child)), 0);
  EXPECT_EQ(firstLog.entries, (std::vector<std::string>{"-child@1"}));
  EXPECT_EQ(secondLog.entries, (std::vector<std::string>{"+child@1"}));
  firstLog.Unwatch(first);
  secondLog.Unwatch(second);
  second->DetachChildren();
}

TEST_F(NodedTreeTest, DetachChildrenGoesFromLastToFirst) {
  TNode owner = NewNode("owner");
  TNode a = NewNode("a", owner), b = NewNode("b", owner), c = NewNode("c", owner);
  TDescentLog log;
  log.Watch(owner);
  EXPECT_EQ(owner->DetachChildren(), 3);
  EXPECT_EQ(log.entries, (std::vector<std::string>{"-c@1", "-b@1", "-a@1"}));
  for (const TNode& n : {a, b, c}) EXPECT_FALSE(n->GetOwner());
  log.Unwatch(owner);
}

TEST_F(NodedTreeTest, OwnerLoopsAreRefusedAndLeaveTheTreeAsItWas) {
  TNode root = NewNode("root");
  TNode mid = NewNode("mid", root);
  TNode leaf = NewNode("leaf", mid);
  TDescentLog rootLog;
  rootLog.Watch(root);
  EXPECT_THROW(root->SetOwner(TIntf<IInterface>(leaf)), ENodedTreeError);
  EXPECT_THROW(mid->SetOwner(TIntf<IInterface>(mid)), ENodedTreeError);
  EXPECT_EQ(leaf->AddChild(TIntf<IInterface>(root)), -1);
  EXPECT_EQ(mid->AddChild(TIntf<IInterface>(mid)), -1);
  EXPECT_FALSE(root->GetOwner());
  EXPECT_TRUE(SameObject(mid->GetOwner(), root));
  EXPECT_EQ(leaf->GetChildCount(), 0);
  EXPECT_EQ(mid->GetChildCount(), 1);
  EXPECT_TRUE(rootLog.entries.empty());
  // A move within the tree that makes no loop is still allowed.
  leaf->SetOwner(TIntf<IInterface>(root));
  EXPECT_EQ(root->GetChildCount(), 2);
  rootLog.Unwatch(root);
  root->DetachTree();
}

TEST_F(NodedTreeTest, FindByNameAndGuidReachGrandchildrenCaseSensitively) {
  TNode root = NewNode("root");
  TNode mid = NewNode("mid", root);
  TNode leaf = NewNode("Leaf", mid);
  TNode found;
  ASSERT_TRUE(root->FindByName("Leaf", found));
  EXPECT_TRUE(SameObject(found, leaf));
  EXPECT_FALSE(root->FindByName("leaf", found));
  ASSERT_TRUE(root->FindByGUID(leaf->GetGUIDString(), found));
  EXPECT_TRUE(SameObject(found, leaf));
  root->DetachTree();
  EXPECT_FALSE(mid->GetOwner());
  EXPECT_EQ(mid->GetChildCount(), 0);
}

TEST_F(NodedTreeTest, CountDescendantsByInterface) {
  TNode root = NewNode("root");
  TNode mid = NewNode("mid", root);
  NewNode("leaf", mid);
  EXPECT_EQ(root->CountDescendants(INodedInterface::IID, false), 1);
  EXPECT_EQ(root->CountDescendants(INodedInterface::IID, true), 2);
  EXPECT_EQ(root->CountDescendants(GuidLiteral("{00000000-0000-0000-0000-00000000ABCD}"), true), 0);
  root->DetachTree();
}

TEST_F(NodedTreeTest, GetChildRejectsBadIndexes) {
  TNode owner = NewNode("owner");
  TNode child = NewNode("child", owner);
  EXPECT_TRUE(SameObject(owner->GetChild(0), child));
  EXPECT_FALSE(owner->GetChild(-1));
  EXPECT_FALSE(owner->GetChild(1));
  owner->DetachChildren();
}

TEST_F(NodedTreeTest, ClassWideCreationAndDestructionAnnouncements) {
  struct TWatcher {
    std::vector<std::string> log;
    void Created(TIntf<INodedInterface> n) { log.push_back("created " + std::to_string(n->GetId())); }
    void Destroyed(TIntf<INodedInterface> n) { log.push_back("destroyed " + std::to_string(n->GetId())); }
  } watcher;
  using H = Teventer_NodedInterface::THandler;
  NodeCreated().AddHandler(H::Of<&TWatcher::Created>(&watcher));
  NodeDestroyed().AddHandler(H::Of<&TWatcher::Destroyed>(&watcher));
  std::int32_t id = 0;
  {
    TNode n = NewNode();
    id = n->GetId();
  }
  NodeCreated().RemoveHandler(H::Of<&TWatcher::Created>(&watcher));
  NodeDestroyed().RemoveHandler(H::Of<&TWatcher::Destroyed>(&watcher));
  EXPECT_EQ(watcher.log, (std::vector<std::string>{"created " + std::to_string(id),
                                                   "destroyed " + std::to_string(id)}));
}

TEST_F(NodedTreeTest, TreeTakenApartLeavesNothingAlive) {
  const std::int32_t before = LiveNodeCount();
  {
    TNode root = NewNode("root");
    for (int i = 0; i < 3; ++i) {
      TNode mid = NewNode("mid" + std::to_string(i), root);
      for (int j = 0; j < 3; ++j) NewNode("leaf", mid);
    }
    EXPECT_EQ(LiveNodeCount(), before + 13);
    root->DetachTree();
  }
  EXPECT_EQ(LiveNodeCount(), before);
}

// Settings as attributes of an XML element.
class NodedSettingsTest : public NodedTreeTest {};

TEST_F(NodedSettingsTest, LoadedAtConstructionAndWrittenBackAtDestruction) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(
      R"(<node name="pump" enabled="false" GUID="{12345678-1234-1234-1234-123456789ABC}"/>)"));
  {
    TNode n = Make<TPlainNode>(MakeXmlNode(doc.child("node")), nullptr);
    EXPECT_EQ(n->GetName(), "pump");
    EXPECT_FALSE(n->GetEnabled());
    EXPECT_EQ(n->GetGUIDString(), "{12345678-1234-1234-1234-123456789ABC}");
    n->SetEnabled(true);
    n->SetName("valve");  // the name is also written at once
    EXPECT_STREQ(doc.child("node").attribute("name").value(), "valve");
    EXPECT_STREQ(doc.child("node").attribute("enabled").value(), "false");
  }
  EXPECT_STREQ(doc.child("node").attribute("enabled").value(), "true");
  EXPECT_STREQ(doc.child("node").attribute("GUID").value(), "{12345678-1234-1234-1234-123456789ABC}");

  // The written values load back.
  TNode again = Make<TPlainNode>(MakeXmlNode(doc.child("node")), nullptr);
  EXPECT_EQ(again->GetName(), "valve");
  EXPECT_TRUE(again->GetEnabled());
}

TEST_F(NodedSettingsTest, NodeWithoutNameOrGuidSavesItsClassNameAndAFreshGuid) {
  pugi::xml_document doc;
  doc.append_child("node");
  std::string guid;
  {
    TNode n = Make<TPlainNode>(MakeXmlNode(doc.child("node")), nullptr);
    guid = n->GetGUIDString();
  }
  EXPECT_EQ(guid.size(), 38u);
  EXPECT_EQ(doc.child("node").attribute("GUID").value(), guid);
  // Never asked its name, it still writes the class name it had.
  EXPECT_STREQ(doc.child("node").attribute("name").value(), "(anonymous namespace)::TPlainNode");
}

TEST_F(NodedSettingsTest, EnabledThatIsNotABooleanFailsConstruction) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(R"(<node enabled="maybe"/>)"));
  TNode owner = NewNode("owner");
  EXPECT_THROW(Make<TPlainNode>(MakeXmlNode(doc.child("node")), TIntf<IInterface>(owner)),
               EConvertError);
  // The failed object did not stay in the owner's list.
  EXPECT_EQ(owner->GetChildCount(), 0);
}

// A binding that reports null and unassigned values, as other XML bindings can.
class TNullingNode : public IXmlElementNode {
 public:
  explicit TNullingNode(TVariant enabled) : FEnabled(std::move(enabled)) {}
  bool HasAttribute(const std::string& name) const override { return name != "GUID"; }
  TVariant GetAttribute(const std::string& name) const override {
    return name == "enabled" ? FEnabled : TVariant::Null();
  }
  void SetAttribute(const std::string&, const std::string&) override {}

 private:
  TVariant FEnabled;
};

TEST_F(NodedSettingsTest, NullAndEmptyValuesRaiseTheReaderErrors) {
  auto message = [](TVariant v) {
    try {
      Make<TPlainNode>(std::make_shared<TNullingNode>(std::move(v)), nullptr);
    } catch (const EVariantError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message(TVariant::Null()), "Variant is Null !!!! ***");
  EXPECT_EQ(message(TVariant()), "Variant is Empty !!!! ***");
  // A null name is only an absent name.
  TNode n = Make<TPlainNode>(std::make_shared<TNullingNode>(TVariant::OfText("1")), nullptr);
  EXPECT_TRUE(n->GetEnabled());
  EXPECT_EQ(n->GetName(), "(anonymous namespace)::TPlainNode");
}

// A binding whose store fails underneath: that is no absent value.
class TFailingNode : public IXmlElementNode {
 public:
  bool HasAttribute(const std::string&) const override { return true; }
  TVariant GetAttribute(const std::string&) const override {
    throw std::runtime_error("settings store unreadable");
  }
  void SetAttribute(const std::string&, const std::string&) override {}
};

TEST_F(NodedSettingsTest, AFailingReadReachesTheCallerInsteadOfCountingAsAbsent) {
  auto failing = std::make_shared<TFailingNode>();
  EXPECT_THROW(ReadTextAttribute(failing, "GUID", "fallback"), std::runtime_error);
  EXPECT_THROW(Make<TPlainNode>(failing, nullptr), std::runtime_error);
  EXPECT_EQ(ReadTextAttribute(std::make_shared<TNullingNode>(TVariant()), "name", "fallback"),
            "fallback");
}

TEST(VariantTest, BooleanTexts) {
  EXPECT_TRUE(VariantToBool(TVariant::OfText("TRUE")));
  EXPECT_FALSE(VariantToBool(TVariant::OfText("false")));
  EXPECT_TRUE(VariantToBool(TVariant::OfText("-1")));
  EXPECT_FALSE(VariantToBool(TVariant::OfText("0")));
  EXPECT_THROW(VariantToBool(TVariant::OfText("yes")), EConvertError);
  EXPECT_EQ(VariantToBool(TVariant::OfText(BoolToText(true))), true);
}

}  // namespace
