#include "framework/uiNodedInterface.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "framework/uScopeGuard.h"

namespace {

std::atomic<std::int32_t> gNodeCounter{1};
std::atomic<std::int32_t> gLiveNodes{0};

std::string ClassNameOf(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

using TDescentHandler = TeventerDescentEvent::THandler;

// Deeper than any real tree; a longer owner chain can only be a loop.
constexpr int kMaxOwnerChain = 10000;

// True when `target` is `start` or one of its owners, up the owner chain.
bool OwnerChainContains(TIntf<INodedInterface> start, const void* target) {
  for (int depth = 0; start; ++depth) {
    if (ObjectOf(start.get()) == target || depth > kMaxOwnerChain) return true;
    start = start->GetNodedOwner();
  }
  return false;
}

}  // namespace

// Never freed: they must outlive every node, including static ones.
Teventer_NodedInterface& NodeCreated() {
  static auto* eventer = new Teventer_NodedInterface();
  return *eventer;
}

Teventer_NodedInterface& NodeDestroyed() {
  static auto* eventer = new Teventer_NodedInterface();
  return *eventer;
}

std::int32_t LiveNodeCount() {
  return gLiveNodes.load();
}

TNodedInterface::TNodedInterface() : TNodedInterface(nullptr, nullptr) {}

TNodedInterface::TNodedInterface(TXmlNode node, TIntf<IInterface> owner)
    : FNode(std::move(node)), FName("TNodedInterface"), FId(++gNodeCounter) {
  gLiveNodes.fetch_add(1);
  NodedSetOwner(std::move(owner));
  // The owner's list must not keep a pointer to an object that never existed.
  TScopeGuard undo([this] {
    NodedSetOwner(nullptr);
    gLiveNodes.fetch_sub(1);
  });
  NodedLoadFromNode(FNode, true, false);
  undo.Dismiss();
}

TNodedInterface::~TNodedInterface() {
  gLiveNodes.fetch_sub(1);
}

HRESULT TNodedInterface::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<INodedInterface>(this, iid, obj) || QueryAs<INodedInterfaceCore>(this, iid, obj))
    return S_OK;
  return TMyInterfacedObject::QueryInterface(iid, obj);
}

void TNodedInterface::AfterConstruction() {
  TMyInterfacedObject::AfterConstruction();
  {
    TWriteGuard guard(FLock);
    // Named when first asked: most objects are never asked, and naming
    // costs the demangler's time and code at every construction.
    if (FNameIsDefault) FClassType = &typeid(*this);
  }
  NodeCreated().Fire(TIntf<INodedInterface>(this));
}

void TNodedInterface::BeforeDestruction() {
  NodeDestroyed().Fire(TIntf<INodedInterface>(this));
  DetachChildren();
  TWriteGuard guard(FLock);
  if (FNode) {
    SaveToNode();
    FNode.reset();
  }
  TMyInterfacedObject::BeforeDestruction();
}

std::string TNodedInterface::GetName() {
  {
    TReadGuard guard(FLock);
    if (!FClassType) return FName;
  }
  TWriteGuard guard(FLock);
  ResolveClassNameLocked();
  return FName;
}

void TNodedInterface::ResolveClassNameLocked() {
  if (!FClassType) return;
  if (FNameIsDefault) FName = ClassNameOf(*FClassType);
  FClassType = nullptr;
}

void TNodedInterface::SetName(const std::string& name) {
  TWriteGuard guard(FLock);
  FName = name;
  FNameIsDefault = false;
  FClassType = nullptr;
  if (FNode) FNode->SetAttribute("name", name);
}

TGUID TNodedInterface::GetGUID() {
  TReadGuard guard(FLock);
  return GuidFromString(FGUID).value_or(TGUID{});
}

std::string TNodedInterface::GetGUIDString() {
  TReadGuard guard(FLock);
  return FGUID;
}

void TNodedInterface::SetGUIDString(const std::string& guid) {
  TWriteGuard guard(FLock);
  FGUID = guid;
}

bool TNodedInterface::GetEnabled() {
  TReadGuard guard(FLock);
  return FEnabled;
}

void TNodedInterface::SetEnabled(bool enabled) {
  TWriteGuard guard(FLock);
  FEnabled = enabled;
}

void TNodedInterface::FireDescendant(bool added, const TIntf<INodedInterface>& node,
                                     std::int32_t depth) {
  auto* eventer = added ? FDescendantAdded.Peek() : FDescendantRemoved.Peek();
  if (eventer != nullptr) eventer->Fire(node, depth);
}

void TNodedInterface::HandleDescendantAdded(TIntf<INodedInterface> node, std::int32_t depth) {
  FireDescendant(true, node, depth + 1);
}

void TNodedInterface::HandleDescendantRemoved(TIntf<INodedInterface> node, std::int32_t depth) {
  FireDescendant(false, node, depth + 1);
}

void TNodedInterface::SetNode(TXmlNode node) {
  TWriteGuard guard(FLock);
  FNode = std::move(node);
}

TXmlNode TNodedInterface::GetNode() {
  TReadGuard guard(FLock);
  return FNode;
}

void TNodedInterface::LoadFromNode(TXmlNode node, bool setNode, bool reloadGUID) {
  NodedLoadFromNode(node, setNode, reloadGUID);
}

void TNodedInterface::NodedLoadFromNode(const TXmlNode& node, bool setNode, bool reloadGUID) {
  TWriteGuard guard(FLock);
  if (setNode) FNode = node;
  if (node && node->HasAttribute("name")) {
    // A name that cannot be read (null or unassigned) counts as absent.
    try {
      FName = VariantToText(node->GetAttribute("name"));
      FNameIsDefault = false;
      FClassType = nullptr;
    } catch (const EVariantError&) {
    }
  }
  FEnabled =
      (node && node->HasAttribute("enabled")) ? VariantToBool(node->GetAttribute("enabled")) : true;
  if (reloadGUID || FGUID.empty()) {
    std::string guid = ReadTextAttribute(node, "GUID", "");
    FGUID = guid.empty() ? NewGuidString() : guid;
  }
}

void TNodedInterface::SaveToNode() {
  NodedSaveToNode();
}

void TNodedInterface::NodedSaveToNode() {
  TWriteGuard guard(FLock);
  if (!FNode) return;
  ResolveClassNameLocked();
  FNode->SetAttribute("name", FName);
  FNode->SetAttribute("enabled", BoolToText(FEnabled));
  FNode->SetAttribute("GUID", FGUID);
}

TIntf<IInterface> TNodedInterface::GetOwner() {
  TReadGuard guard(FLock);
  return FOwner;
}

void TNodedInterface::SetOwner(TIntf<IInterface> owner) {
  NodedSetOwner(std::move(owner));
}

void TNodedInterface::NodedSetOwner(TIntf<IInterface> owner) {
  // An owner below this object (or this object itself) would close a loop
  // round which every descendant event would run without end.
  const void* thisObject = ObjectOf(static_cast<INodedInterface*>(this));
  if (OwnerChainContains(Supports<INodedInterface>(owner), thisObject))
    throw ENodedTreeError("A noded interface cannot be owned by itself or by its descendant");
  TWriteGuard guard(FLock);
  if (ObjectOf(owner.get()) == ObjectOf(FOwner.get())) return;
  // Held locally: dropping FOwner may release the old owner's last reference.
  TIntf<IInterface> oldOwner = FOwner;
  TIntf<IInterface> self(static_cast<INodedInterface*>(this));
  if (auto oldNoded = Supports<INodedInterface>(oldOwner)) oldNoded->RemoveChild(self);
  FOwner = owner;
  if (auto newNoded = Supports<INodedInterface>(owner)) newNoded->AddChild(self);
}

TIntf<INodedInterface> TNodedInterface::GetNodedOwner() {
  return Supports<INodedInterface>(GetOwner());
}

TInterfaceList TNodedInterface::GetChildren() {
  TReadGuard guard(FLock);
  std::lock_guard<std::recursive_mutex> list(FChildListLock);
  return FChildren;
}

TIntf<INodedInterface> TNodedInterface::GetChild(std::int32_t index) {
  TIntf<IInterface> child;
  {
    TReadGuard guard(FLock);
    std::lock_guard<std::recursive_mutex> list(FChildListLock);
    if (index < 0 || static_cast<std::size_t>(index) >= FChildren.size()) return {};
    child = FChildren[static_cast<std::size_t>(index)];
  }
  return Supports<INodedInterface>(child);
}

std::int32_t TNodedInterface::GetChildCount() {
  TReadGuard guard(FLock);
  std::lock_guard<std::recursive_mutex> list(FChildListLock);
  return static_cast<std::int32_t>(FChildren.size());
}

std::int32_t TNodedInterface::IndexOfChild(TIntf<IInterface> child) {
  TReadGuard guard(FLock);
  std::lock_guard<std::recursive_mutex> list(FChildListLock);
  const void* wanted = ObjectOf(child.get());
  for (std::size_t i = 0; i < FChildren.size(); ++i)
    if (ObjectOf(FChildren[i].get()) == wanted) return static_cast<std::int32_t>(i);
  return -1;
}

std::int32_t TNodedInterface::AddChild(TIntf<IInterface> child) {
  if (!child) return -1;
  // Neither this object nor one of its owners can become its child.
  if (OwnerChainContains(TIntf<INodedInterface>(this), ObjectOf(child.get()))) return -1;
  std::int32_t index = -1;
  {
    TWriteGuard guard(FLock);
    std::lock_guard<std::recursive_mutex> list(FChildListLock);
    const void* wanted = ObjectOf(child.get());
    for (const auto& entry : FChildren)
      if (ObjectOf(entry.get()) == wanted) return -1;
    FChildren.push_back(child);
    index = static_cast<std::int32_t>(FChildren.size()) - 1;
  }
  // The owner's lock is released before the child's is taken.
  if (auto noded = Supports<INodedInterface>(child)) {
    noded->BeginWrite();
    TScopeGuard endWrite([&noded] { noded->EndWrite(); });
    TIntf<IInterface> self(static_cast<INodedInterface*>(this));
    if (ObjectOf(noded->GetOwner().get()) != ObjectOf(self.get())) noded->SetOwner(self);
    noded->DescendantAdded().AddHandler(
        TDescentHandler::Of<&TNodedInterface::HandleDescendantAdded>(this));
    noded->DescendantRemoved().AddHandler(
        TDescentHandler::Of<&TNodedInterface::HandleDescendantRemoved>(this));
    FireDescendant(true, noded, 1);
  }
  return index;
}

std::int32_t TNodedInterface::RemoveChild(TIntf<IInterface> child) {
  if (!child) return -1;
  TWriteGuard guard(FLock);
  std::int32_t index = -1;
  TIntf<IInterface> removed;  // keeps the child alive until this call is done with it
  {
    std::lock_guard<std::recursive_mutex> list(FChildListLock);
    const void* wanted = ObjectOf(child.get());
    for (std::size_t i = 0; i < FChildren.size(); ++i) {
      if (ObjectOf(FChildren[i].get()) == wanted) {
        removed = FChildren[i];
        FChildren.erase(FChildren.begin() + static_cast<std::ptrdiff_t>(i));
        index = static_cast<std::int32_t>(i);
        break;
      }
    }
  }
  if (index < 0) return -1;
  if (auto noded = Supports<INodedInterface>(removed)) {
    FireDescendant(false, noded, 1);
    TIntf<IInterface> self(static_cast<INodedInterface*>(this));
    if (ObjectOf(noded->GetOwner().get()) == ObjectOf(self.get())) noded->SetOwner(nullptr);
    noded->DescendantAdded().RemoveHandler(
        TDescentHandler::Of<&TNodedInterface::HandleDescendantAdded>(this));
    noded->DescendantRemoved().RemoveHandler(
        TDescentHandler::Of<&TNodedInterface::HandleDescendantRemoved>(this));
  }
  return index;
}

std::int32_t TNodedInterface::DetachChildren() {
  TWriteGuard guard(FLock);
  std::int32_t detached = 0;
  std::size_t rounds = 0;
  {
    std::lock_guard<std::recursive_mutex> list(FChildListLock);
    rounds = FChildren.size() + 1;
  }
  for (std::size_t i = 0; i < rounds; ++i) {
    TIntf<IInterface> last;
    {
      std::lock_guard<std::recursive_mutex> list(FChildListLock);
      if (FChildren.empty()) break;
      last = FChildren.back();
    }
    if (auto noded = Supports<INodedInterface>(last)) {
      noded->SetOwner(nullptr);
      ++detached;
    }
  }
  return detached;
}

void TNodedInterface::DetachTree() {
  TWriteGuard guard(FLock);
  for (const auto& child : GetChildren())
    if (auto noded = Supports<INodedInterface>(child)) noded->DetachTree();
  DetachChildren();
}

std::int32_t TNodedInterface::CountDescendants(const TGUID& iid, bool recursive) {
  std::int32_t count = 0;
  for (const auto& child : GetChildren()) {
    if (recursive)
      if (auto noded = Supports<INodedInterface>(child))
        count += noded->CountDescendants(iid, true);
    if (SupportsIID(child.get(), iid)) ++count;
  }
  return count;
}

bool TNodedInterface::FindByGUID(const std::string& text, TIntf<INodedInterface>& node) {
  return FindInTree(&INodedInterface::FindByGUID, GetGUIDString(), text, node);
}

bool TNodedInterface::FindByName(const std::string& text, TIntf<INodedInterface>& node) {
  return FindInTree(&INodedInterface::FindByName, GetName(), text, node);
}

bool TNodedInterface::FindInTree(TFindOperation find, const std::string& own,
                                 const std::string& text, TIntf<INodedInterface>& node) {
  // Exact, case-sensitive comparison; this object first, then each child's subtree in order.
  if (own == text) {
    node = TIntf<INodedInterface>(this);
    return true;
  }
  for (const auto& child : GetChildren())
    if (auto noded = Supports<INodedInterface>(child))
      if ((noded.get()->*find)(text, node)) return true;
  return false;
}
