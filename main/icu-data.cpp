// An empty ICU data package, linked into the static executables in place of ICU's data
// library (about 30 MB). The tool asks ICU only for UTF-8/UTF-16 conversion and the
// root locale's default case mappings, which ICU's common library computes from tables
// compiled into its own code; no data item is ever looked up. Should one be, ICU finds
// this table of contents empty and reports the item missing. The layout is ICU's
// common-data header followed by a table of contents with no entries.
#include <cstdint>

#include <unicode/udata.h>
#include <unicode/utypes.h>

namespace {

struct EmptyDataPackage {
    std::uint16_t headerSize;
    std::uint8_t magic1, magic2;
    UDataInfo info;
    char padding[8];
    std::uint32_t count, reserved;
    std::uint32_t toc[2];
};

} // namespace

extern "C" U_EXPORT const EmptyDataPackage U_ICUDATA_ENTRY_POINT = {
    32,
    0xda,
    0x27,
    {sizeof(UDataInfo),
     0,
     U_IS_BIG_ENDIAN,
     U_CHARSET_FAMILY,
     U_SIZEOF_UCHAR,
     0,
     {0x43, 0x6d, 0x6e, 0x44} /* "CmnD" */,
     {1, 0, 0, 0},
     {0, 0, 0, 0}},
    {},
    0,
    0,
    {0, 0},
};
