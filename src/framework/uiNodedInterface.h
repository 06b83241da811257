// Noded interfaces: counted objects with an identity (number, name, GUID), an
// enabled flag, an owner and ordered children, forming ownership trees whose
// changes are announced upward. Settings live as attributes of an XML node.
#pragma once

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "framework/uEventer.h"
#include "framework/uMRSWLock.h"
#include "framework/uXmlNode.h"
#include "framework/ui_MyInterfacedObject.h"

class INodedInterface;

// Class-wide creation / destruction announcement: (node).
class Teventer_NodedInterface : public TEventer<TIntf<INodedInterface>> {};
// Descendant added / removed: (node, depth), depth 1 = own child.
class TeventerDescentEvent : public TEventer<TIntf<INodedInterface>, std::int32_t> {};

using TInterfaceList = std::vector<TIntf<IInterface>>;

class INodedInterfaceCore : public virtual IInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{DD03F488-8A5F-4757-98C3-8C2F2F38BEF4}");
  virtual std::int32_t GetId() = 0;
  virtual std::string GetName() = 0;
  virtual void SetName(const std::string& name) = 0;
  virtual TGUID GetGUID() = 0;
  virtual std::string GetGUIDString() = 0;
  virtual bool GetEnabled() = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual void BeginWrite() = 0;
  virtual void EndWrite() = 0;
  virtual void BeginRead() = 0;
  virtual void EndRead() = 0;
  virtual void HandleDescendantAdded(TIntf<INodedInterface> node, std::int32_t depth) = 0;
  virtual void HandleDescendantRemoved(TIntf<INodedInterface> node, std::int32_t depth) = 0;
};

class INodedInterface : public virtual INodedInterfaceCore {
 public:
  static constexpr TGUID IID = GuidLiteral("{932E676F-ACE9-4CE9-BDEB-60D2688BA949}");
  virtual void SetNode(TXmlNode node) = 0;
  virtual void LoadFromNode(TXmlNode node, bool setNode, bool reloadGUID) = 0;
  virtual void SaveToNode() = 0;
  virtual TXmlNode GetNode() = 0;
  virtual void Load(TXmlNode node) = 0;
  virtual TIntf<IInterface> GetOwner() = 0;
  virtual void SetOwner(TIntf<IInterface> owner) = 0;
  virtual TIntf<INodedInterface> GetNodedOwner() = 0;
  virtual void AssignOwner(TIntf<IInterface> owner) = 0;
  virtual TInterfaceList GetChildren() = 0;
  virtual TIntf<INodedInterface> GetChild(std::int32_t index) = 0;
  virtual std::int32_t GetChildCount() = 0;
  virtual std::int32_t AddChild(TIntf<IInterface> child) = 0;
  virtual std::int32_t RemoveChild(TIntf<IInterface> child) = 0;
  virtual std::int32_t DetachChildren() = 0;
  virtual std::int32_t CountDescendants(const TGUID& iid, bool recursive) = 0;
  virtual bool FindByGUID(const std::string& text, TIntf<INodedInterface>& node) = 0;
  virtual bool FindByName(const std::string& text, TIntf<INodedInterface>& node) = 0;
  virtual std::int32_t IndexOfChild(TIntf<IInterface> child) = 0;
  virtual TeventerDescentEvent& DescendantAdded() = 0;
  virtual TeventerDescentEvent& DescendantRemoved() = 0;
  virtual void DetachTree() = 0;
};

// Raised by SetOwner for an owner that is the object itself or lies below it.
class ENodedTreeError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// The process-wide announcements of creation and destruction of every node.
Teventer_NodedInterface& NodeCreated();
Teventer_NodedInterface& NodeDestroyed();

// Number of noded interfaces alive in the process (for leak checks).
std::int32_t LiveNodeCount();

// Base class of transports, the stack and devices.
// Construction with a node and an owner attaches the object to the owner and
// loads the node with this class's operations; a derived class that replaces
// SetOwner or LoadFromNode applies its own version in its own constructor.
class TNodedInterface : public TMyInterfacedObject, public virtual INodedInterface {
 public:
  TNodedInterface();
  TNodedInterface(TXmlNode node, TIntf<IInterface> owner);
  ~TNodedInterface() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

  // INodedInterfaceCore
  std::int32_t GetId() override { return FId; }
  std::string GetName() override;
  void SetName(const std::string& name) override;
  TGUID GetGUID() override;
  std::string GetGUIDString() override;
  bool GetEnabled() override;
  void SetEnabled(bool enabled) override;
  void BeginWrite() override { FLock.BeginWrite(); }
  void EndWrite() override { FLock.EndWrite(); }
  void BeginRead() override { FLock.BeginRead(); }
  void EndRead() override { FLock.EndRead(); }
  void HandleDescendantAdded(TIntf<INodedInterface> node, std::int32_t depth) override;
  void HandleDescendantRemoved(TIntf<INodedInterface> node, std::int32_t depth) override;

  // INodedInterface
  void SetNode(TXmlNode node) override;
  void LoadFromNode(TXmlNode node, bool setNode, bool reloadGUID) override;
  void SaveToNode() override;
  TXmlNode GetNode() override;
  void Load(TXmlNode node) override { LoadFromNode(std::move(node), true, false); }
  TIntf<IInterface> GetOwner() override;
  void SetOwner(TIntf<IInterface> owner) override;
  TIntf<INodedInterface> GetNodedOwner() override;
  void AssignOwner(TIntf<IInterface> owner) override { SetOwner(std::move(owner)); }
  TInterfaceList GetChildren() override;
  TIntf<INodedInterface> GetChild(std::int32_t index) override;
  std::int32_t GetChildCount() override;
  std::int32_t AddChild(TIntf<IInterface> child) override;
  std::int32_t RemoveChild(TIntf<IInterface> child) override;
  std::int32_t DetachChildren() override;
  std::int32_t CountDescendants(const TGUID& iid, bool recursive) override;
  bool FindByGUID(const std::string& text, TIntf<INodedInterface>& node) override;
  bool FindByName(const std::string& text, TIntf<INodedInterface>& node) override;
  std::int32_t IndexOfChild(TIntf<IInterface> child) override;
  TeventerDescentEvent& DescendantAdded() override { return FDescendantAdded.Get(); }
  TeventerDescentEvent& DescendantRemoved() override { return FDescendantRemoved.Get(); }
  void DetachTree() override;

 protected:
  // The lock of the child list itself, held by every operation on the list;
  // a dispatcher holds it so children cannot come or go in the middle.
  std::recursive_mutex& ChildListLock() { return FChildListLock; }
  // Child list entries as stored (callers hold ChildListLock()).
  const TInterfaceList& ChildrenLocked() const { return FChildren; }
  TMRSWLock& NodeLock() { return FLock; }
  // Sets the GUID text directly (used by devices given a GUID).
  void SetGUIDString(const std::string& guid);

 private:
  using TFindOperation = bool (INodedInterface::*)(const std::string&, TIntf<INodedInterface>&);
  bool FindInTree(TFindOperation find, const std::string& own, const std::string& text,
                  TIntf<INodedInterface>& node);
  void FireDescendant(bool added, const TIntf<INodedInterface>& node, std::int32_t depth);
  void NodedSetOwner(TIntf<IInterface> owner);
  void NodedLoadFromNode(const TXmlNode& node, bool setNode, bool reloadGUID);
  void NodedSaveToNode();
  // Takes the class name as the name, when that is still due (write lock held).
  void ResolveClassNameLocked();

  bool FEnabled = true;
  TXmlNode FNode;
  std::string FName;
  TIntf<IInterface> FOwner;
  std::int32_t FId;
  TLazyEventer<TeventerDescentEvent> FDescendantAdded;
  TLazyEventer<TeventerDescentEvent> FDescendantRemoved;
  std::string FGUID;
  TMRSWLock FLock;
  std::recursive_mutex FChildListLock;
  TInterfaceList FChildren;
  bool FNameIsDefault = true;  // replaced by the class name once construction ends
  const std::type_info* FClassType = nullptr;  // the class whose name is due, when asked
};
