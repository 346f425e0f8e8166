#pragma once
// The steps of a card update that the reader page and the contactless page
// share: the status line, the connection with the ATR and the card name, the
// port, the driver's 4-byte values, the card identifier and the library
// version. Each page runs them in its own order; a step that answers false
// or nothing ends that page's update.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "card/card_names.h"
#include "card/ms_card.h"
#include "card/pcsc.h"
#include "reader/reader_fields.h"

namespace card_steps {

// The ATR bytes of a reader state, never past its buffer.
std::span<const std::uint8_t> AtrOf(const SCARD_READERSTATE& state);

// Whether a card has just arrived: present now and not before, or present
// on both sides with a changed event counter (pcscd saw it removed and put
// back, the client did not), or a present card out of the mute state.
bool CardArrived(const SCARD_READERSTATE& state);
// Whether the card read before is gone, so its texts go as on a removal: no
// card now, a changed event counter, or the card has gone mute.
bool CardLeft(const SCARD_READERSTATE& state);

// Sets the status line from the event state; true for a mute card, whose
// text the page shows at once.
bool SetStatusLine(CReaderFields& fields, DWORD eventState);

// The ATR comes with the reader's state, so the page can show it, with the
// card's name, before the connection is made: `show` gets a copy of
// `fields` with both set. Then connects in shared mode (T=0 or T=1) and sets
// the protocol, the ATR text and the card name; a synchronous card's type
// stands for the protocol. Answers whether the card is synchronous, nothing
// when the connect fails (then `card` is kNoCard and `fields` keep no ATR).
std::optional<bool> ConnectAndNameCard(const CMSCard& pcsc, SCARDCONTEXT context, const std::string& reader,
                                       const SCARD_READERSTATE& state, const CCardNames* names, SCARDHANDLE& card,
                                       CReaderFields& fields, const std::function<void(const CReaderFields&)>& show);

// The port from the channel id; false when the attribute cannot be read.
bool ReadPort(const CMSCard& pcsc, SCARDHANDLE card, CReaderFields& fields);

// A 4-byte driver value; nothing when the control code fails or answers
// another length.
std::optional<DriverValue> ReadDriverValue(const CMSCard& pcsc, SCARDHANDLE card, VendorFunction function);

// Appends "UID:<hex>" to the card name (after a space when it has one) for a
// card with a contactless ATR whose identifier the driver gives.
void AppendCardIdentifier(const CMSCard& pcsc, SCARDHANDLE card, std::span<const std::uint8_t> atr,
                          CReaderFields& fields);

// The driver library's version, "n/a" when the driver does not tell it.
void ReadLibraryVersion(const CMSCard& pcsc, SCARDHANDLE card, CReaderFields& fields);

// Disconnects leaving the card and forgets the handle.
void Disconnect(const CMSCard& pcsc, SCARDHANDLE& card);

// What a reader's driver has made of the vendor's requests so far, in rising
// order: a later state replaces an earlier one only when it is higher
// (std::max), so one answer settles that the driver is the vendor's, and a
// refusal that comes after the deadline replaces "not in time".
enum class VendorAnswers { kNoneYet, kNotInTime, kRefused, kAnswered };

// The tooltips for `shown`, one per text: a text the driver left "n/a"
// because it refused every vendor request, or did not answer one within
// `deadline`, says so; every other tooltip is empty. The card's values are
// noted only while a connected card is shown (it has an ATR): without one,
// "n/a" means there is no card.
CReaderFields DriverNotes(const CReaderFields& shown, VendorAnswers answers, std::chrono::milliseconds deadline);

}  // namespace card_steps
