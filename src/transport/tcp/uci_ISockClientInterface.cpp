#include "transport/tcp/uci_ISockClientInterface.h"

HRESULT TSockClientCoreInterface::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<ISockClientInterface>(this, iid, obj)) return S_OK;
  return TCommunicationInterface::QueryInterface(iid, obj);
}
