// The standards and card names PC/SC registers for the ATR a reader builds
// for a contactless storage card (3B 8F 80 01 80 4F 0C A0 00 00 03 06 SS NN NN ...).

#include <array>
#include <utility>

#include "card/atr_decoder.h"

namespace {

constexpr std::array<std::pair<std::uint8_t, std::string_view>, 18> kStandards = {{
    {0x00, "no information given"},
    {0x01, "ISO 14443 A, part 1"},
    {0x02, "ISO 14443 A, part 2"},
    {0x03, "ISO 14443 A, part 3"},
    {0x05, "ISO 14443 B, part 1"},
    {0x06, "ISO 14443 B, part 2"},
    {0x07, "ISO 14443 B, part 3"},
    {0x09, "ISO 15693, part 1"},
    {0x0A, "ISO 15693, part 2"},
    {0x0B, "ISO 15693, part 3"},
    {0x0C, "ISO 15693, part 4"},
    {0x0D, "contact (7816-10) I2C"},
    {0x0E, "contact (7816-10) extended I2C"},
    {0x0F, "contact (7816-10) 2WBP"},
    {0x10, "contact (7816-10) 3WBP"},
    {0x11, "FeliCa"},
    {0x40, "low frequency contactless cards"},
    {0x04, "RFU"},
}};

constexpr std::array<std::pair<std::uint16_t, std::string_view>, 57> kCardNames = {{
    {0x0001, "MIFARE Classic 1K"},
    {0x0002, "MIFARE Classic 4K"},
    {0x0003, "MIFARE Ultralight"},
    {0x0004, "SLE55R_XXXX"},
    {0x0006, "SR176"},
    {0x0007, "SRI X4K"},
    {0x0008, "AT88RF020"},
    {0x0009, "AT88SC0204CRF"},
    {0x000A, "AT88SC0808CRF"},
    {0x000B, "AT88SC1616CRF"},
    {0x000C, "AT88SC3216CRF"},
    {0x000D, "AT88SC6416CRF"},
    {0x000E, "SRF55V10P"},
    {0x000F, "SRF55V02P"},
    {0x0010, "SRF55V10S"},
    {0x0011, "SRF55V02S"},
    {0x0012, "TAG-IT"},
    {0x0013, "LRI512"},
    {0x0014, "I-CODE SLI"},
    {0x0015, "TEMPSENS"},
    {0x0016, "I-CODE1"},
    {0x0017, "PicoPass 2K"},
    {0x0018, "PicoPass 2KS"},
    {0x0019, "PicoPass 16K"},
    {0x001A, "PicoPass 16KS"},
    {0x001B, "PicoPass 16K (8x2)"},
    {0x001C, "PicoPass 16KS (8x2)"},
    {0x001D, "PicoPass 32KS (16+16)"},
    {0x001E, "PicoPass 32KS (16+8x2)"},
    {0x001F, "PicoPass 32KS (8x2+16)"},
    {0x0020, "PicoPass 32KS (8x2+8x2)"},
    {0x0021, "LRI64"},
    {0x0022, "I-CODE UID"},
    {0x0023, "I-CODE EPC"},
    {0x0024, "LRI12"},
    {0x0025, "LRI128"},
    {0x0026, "MIFARE Mini"},
    {0x0027, "my-d move (SLE 66R01P)"},
    {0x0028, "my-d NFC (SLE 66RxxP)"},
    {0x0029, "my-d proximity 2 (SLE 66RxxS)"},
    {0x002A, "my-d proximity enhanced (SLE 55RxxE)"},
    {0x002B, "my-d light (SRF 55V01P)"},
    {0x002C, "PJM Stack Tag (SRF 66V10ST)"},
    {0x002D, "PJM Item Tag (SRF 66V10IT)"},
    {0x002E, "PJM Light (SRF 66V01ST)"},
    {0x002F, "Jewel Tag"},
    {0x0030, "Topaz NFC Tag"},
    {0x0031, "AT88SC0104CRF"},
    {0x0032, "AT88SC0404CRF"},
    {0x0033, "AT88RF01C"},
    {0x0034, "AT88RF04C"},
    {0x0035, "I-CODE SL2"},
    {0x0036, "MIFARE Plus SL1 2K"},
    {0x0037, "MIFARE Plus SL1 4K"},
    {0x0038, "MIFARE Plus SL2 2K"},
    {0x0039, "MIFARE Plus SL2 4K"},
    {0x003A, "MIFARE Ultralight C"},
}};

}  // namespace

std::string_view ContactlessStandardName(std::uint8_t standard) {
  for (const auto& [value, name] : kStandards)
    if (value == standard) return name;
  return {};
}

std::string_view ContactlessCardName(std::uint16_t name) {
  for (const auto& [value, text] : kCardNames)
    if (value == name) return text;
  return {};
}
