#include "card/ms_card.h"

namespace {

template <typename Function>
void Resolve(const velkaro::SharedLibrary& library, const char* name, Function& entry) {
  entry = library.Symbol<Function>(name);
}

}  // namespace

CMSCard::CMSCard(const std::string& libraryName) : m_library(libraryName) {
  Resolve(m_library, "SCardEstablishContext", m_pEstablish);
  Resolve(m_library, "SCardReleaseContext", m_pRelease);
  Resolve(m_library, "SCardConnect", m_pConnect);
  Resolve(m_library, "SCardDisconnect", m_pDisconnect);
  Resolve(m_library, "SCardGetStatusChange", m_pStatusChange);
  Resolve(m_library, "SCardListReaders", m_pListReaders);
  Resolve(m_library, "SCardControl", m_pControl);
  Resolve(m_library, "SCardGetAttrib", m_pGetAttrib);
  Resolve(m_library, "SCardCancel", m_pCancel);
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
  m_library.Reset();
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
