#pragma once
// Run-time binding of the PC/SC library. Every call goes through an entry
// point resolved when the object was made; a missing library or function
// answers SCARD_E_NOT_READY, so a machine without pcsc-lite still runs.

#include <string>

#include "card/pcsc.h"
#include "platform/shared_library.h"

inline constexpr char kPcscLibraryName[] = "libpcsclite.so.1";

class CMSCard {
 public:
  explicit CMSCard(const std::string& libraryName = kPcscLibraryName);
  virtual ~CMSCard();
  CMSCard(const CMSCard&) = delete;
  CMSCard& operator=(const CMSCard&) = delete;

  void Unload();
  bool IsLoaded() const { return m_library.IsLoaded(); }

  LONG EstablishContext(DWORD scope, const void* reserved1, const void* reserved2, SCARDCONTEXT* context) const;
  LONG ReleaseContext(SCARDCONTEXT context) const;
  LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD preferredProtocols,
               SCARDHANDLE* card, DWORD* activeProtocol) const;
  LONG Disconnect(SCARDHANDLE card, DWORD disposition) const;
  LONG GetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states, DWORD count) const;
  LONG Control(SCARDHANDLE card, DWORD controlCode, const void* input, DWORD inputLength, void* output,
               DWORD outputSize, DWORD* bytesReturned) const;
  LONG GetAttrib(SCARDHANDLE card, DWORD attribute, BYTE* buffer, DWORD* length) const;
  // Wakes a thread waiting in GetStatusChange on `context` (pcsc-lite lets a
  // context release wait for such a call, so the page cancels it first).
  LONG Cancel(SCARDCONTEXT context) const;

 private:
  velkaro::SharedLibrary m_library;
  decltype(&SCardEstablishContext) m_pEstablish = nullptr;
  decltype(&SCardReleaseContext) m_pRelease = nullptr;
  decltype(&SCardConnect) m_pConnect = nullptr;
  decltype(&SCardDisconnect) m_pDisconnect = nullptr;
  decltype(&SCardGetStatusChange) m_pStatusChange = nullptr;
  decltype(&SCardListReaders) m_pListReaders = nullptr;  // resolved, not used
  decltype(&SCardControl) m_pControl = nullptr;
  decltype(&SCardGetAttrib) m_pGetAttrib = nullptr;
  decltype(&SCardCancel) m_pCancel = nullptr;
};
