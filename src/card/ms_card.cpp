#include "card/ms_card.h"

#include <dlfcn.h>

namespace {

template <typename Function>
void Resolve(void* module, const char* name, Function& entry) {
  entry = reinterpret_cast<Function>(dlsym(module, name));
}

}  // namespace

CMSCard::CMSCard(const std::string& libraryName) {
  m_module = dlopen(libraryName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_module) return;
  Resolve(m_module, "SCardEstablishContext", m_pEstablish);
  Resolve(m_module, "SCardReleaseContext", m_pRelease);
  Resolve(m_module, "SCardConnect", m_pConnect);
  Resolve(m_module, "SCardDisconnect", m_pDisconnect);
  Resolve(m_module, "SCardGetStatusChange", m_pStatusChange);
  Resolve(m_module, "SCardListReaders", m_pListReaders);
  Resolve(m_module, "SCardControl", m_pControl);
  Resolve(m_module, "SCardGetAttrib", m_pGetAttrib);
  Resolve(m_module, "SCardCancel", m_pCancel);
}

CMSCard::~CMSCard() { Unload(); }

void CMSCard::Unload() {
  m_pEstablish = nullptr;
  m_pRelease = nullptr;
  m_pConnect = nullptr;
  m_pDisconnect = nullptr;
  m_pStatusChange = nullptr;
  m_pListReaders = nullptr;
  m_pControl = nullptr;
  m_pGetAttrib = nullptr;
  m_pCancel = nullptr;
  if (m_module) {
    dlclose(m_module);
    m_module = nullptr;
  }
}

LONG CMSCard::EstablishContext(DWORD scope, const void* reserved1, const void* reserved2,
                               SCARDCONTEXT* context) const {
  return m_pEstablish ? m_pEstablish(scope, reserved1, reserved2, context) : SCARD_E_NOT_READY;
}

LONG CMSCard::ReleaseContext(SCARDCONTEXT context) const {
  return m_pRelease ? m_pRelease(context) : SCARD_E_NOT_READY;
}

LONG CMSCard::Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD preferredProtocols,
                      SCARDHANDLE* card, DWORD* activeProtocol) const {
  return m_pConnect ? m_pConnect(context, reader, shareMode, preferredProtocols, card, activeProtocol)
                    : SCARD_E_NOT_READY;
}

LONG CMSCard::Disconnect(SCARDHANDLE card, DWORD disposition) const {
  return m_pDisconnect ? m_pDisconnect(card, disposition) : SCARD_E_NOT_READY;
}

LONG CMSCard::GetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states, DWORD count) const {
  return m_pStatusChange ? m_pStatusChange(context, timeout, states, count) : SCARD_E_NOT_READY;
}

LONG CMSCard::Control(SCARDHANDLE card, DWORD controlCode, const void* input, DWORD inputLength, void* output,
                      DWORD outputSize, DWORD* bytesReturned) const {
  return m_pControl ? m_pControl(card, controlCode, input, inputLength, output, outputSize, bytesReturned)
                    : SCARD_E_NOT_READY;
}

LONG CMSCard::GetAttrib(SCARDHANDLE card, DWORD attribute, BYTE* buffer, DWORD* length) const {
  return m_pGetAttrib ? m_pGetAttrib(card, attribute, buffer, length) : SCARD_E_NOT_READY;
}

LONG CMSCard::Cancel(SCARDCONTEXT context) const {
  return m_pCancel ? m_pCancel(context) : SCARD_E_NOT_READY;
}
