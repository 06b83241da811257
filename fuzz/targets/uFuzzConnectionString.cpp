// Connection strings of every registered transport: what a transport writes
// of its settings must read back to the same settings. The "active" pairs are
// taken out first, so nothing opens. Written over the registry, so every
// transport registered at program start is covered.
#include <stdexcept>
#include <string>

#include "framework/uXmlNode.h"
#include "transport/uConnectionString.h"
#include "transport/uTransports.h"
#include "uFuzzKit.h"
#include "uFuzzTargets.h"

namespace {

using fuzzkit::Check;

// The transport's setter may refuse a value it cannot convert; that is its
// documented answer to malformed input.
bool Apply(ICommunicationInterface& transport, const std::string& text) {
  try {
    transport.SetConnectionString(text);
    return true;
  } catch (const EConvertError&) {
    return false;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

// What `first` writes, set on a fresh transport of the same class, reads
// back the same.
void CheckReadsBack(const TProviderEntry& provider, ICommunicationInterface& first) {
  const std::string written = first.GetConnectionString();
  TIntf<ICommunicationInterface> second = provider.TransportClass(std::string());
  Check(Apply(*second, written), "a written connection string is refused", written);
  Check(second->GetConnectionString() == written, "settings change when read back",
        written + " -> " + second->GetConnectionString());
  Check(!first.GetActive() && !second->GetActive(), "a transport opened");
}

}  // namespace

int FuzzConnectionString(const std::uint8_t* data, std::size_t size) {
  static const bool registered = (InitTransports(0, nullptr), true);
  (void)registered;
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string text = fuzzkit::WithoutActive(raw);
  for (const TProviderEntry& provider : ProviderRegistry()) {
    TIntf<ICommunicationInterface> direct = provider.TransportClass(std::string());
    if (direct && Apply(*direct, text)) CheckReadsBack(provider, *direct);
    // The same settings through the factory, as a program makes its transport.
    TIntf<ICommunicationInterface> made;
    bool created = false;
    try {
      created = CreateTransport(
          fuzzkit::FactoryTextWithoutActive("provider=" + provider.Name + ";" + raw), made);
    } catch (const EConvertError&) {
      // A value the transport cannot convert is refused: nothing to read back.
    } catch (const std::invalid_argument&) {
      // Likewise.
    }
    if (created) CheckReadsBack(provider, *made);
  }
  return 0;
}
