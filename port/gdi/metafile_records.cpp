#include "port/gdi/metafile_records.h"

#include <string>

#include "port/failure.h"
#include "port/gdi/byte_reader.h"
#include "port/gdi/record_checks.h"

namespace ks318::port::gdi {
namespace {

constexpr std::uint32_t kPlaceableKey = 0x9AC6CDD7u;
constexpr std::uint16_t kWindowsEnd = 0x0000;
constexpr std::uint32_t kEnhancedHeader = 1;
constexpr std::uint32_t kEnhancedEnd = 14;
constexpr std::uint32_t kSignature = 0x464D4520;  // " EMF"
constexpr std::size_t kMinEnhancedHeaderBytes = 88;

// Notes that record number `records` claims more than it holds, or an object the file has no slot for.
std::nullopt_t overreaching(std::uint64_t records, std::uint32_t type) {
    noteFailure("the metafile is damaged: record " + std::to_string(records) + " (type " + std::to_string(type) +
                ") claims more than it holds or names an object past the file's table");
    return std::nullopt;
}

// Notes why the walk refused the file (`records` counts the one it stopped at).
std::nullopt_t refused(std::uint64_t records) {
    noteFailure(records > kMaxMetafileRecords
                    ? "the metafile has more than " + std::to_string(kMaxMetafileRecords) + " records"
                    : std::string("the metafile is damaged or cut short: a record reaches past its end, or the end record is missing"));
    return std::nullopt;
}

}  // namespace

std::optional<PlaceableHeader> readPlaceableHeader(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    if (in.u32() != kPlaceableKey) return std::nullopt;
    in.u16();
    PlaceableHeader header;
    header.left = in.s16(), header.top = in.s16(), header.right = in.s16(), header.bottom = in.s16();
    header.unitsPerInch = in.u16();
    in.skip(6);
    if (!in.ok()) return std::nullopt;
    return header;
}

std::optional<WindowsMetafile> readWindowsMetafile(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    const std::uint16_t type = in.u16(), headerWords = in.u16();
    in.skip(6);
    WindowsMetafile metafile;
    metafile.bytes = bytes;
    metafile.objects = in.u16();
    in.skip(6);
    if (!in.ok() || (type != 1 && type != 2) || headerWords != kWindowsMetafileHeaderBytes / 2) return std::nullopt;
    // The walk: every record inside the file, the end record reached, not too many.
    std::uint64_t records = 0;
    while (true) {
        const std::uint32_t words = in.u32();
        const std::uint16_t function = in.u16();
        if (!in.ok() || words < 3 || ++records > kMaxMetafileRecords) return refused(records);
        if (function == kWindowsEnd) {
            metafile.length = in.position() + (static_cast<std::size_t>(words) - 3) * 2;
            if (metafile.length > bytes.size()) return refused(records);
            return metafile;
        }
        const std::size_t start = in.position() - 6;
        in.skip((static_cast<std::size_t>(words) - 3) * 2);
        if (!in.ok()) return refused(records);
        if (!windowsRecordFits(function, bytes.subspan(start, in.position() - start), metafile.objects))
            return overreaching(records, function);
    }
}

std::optional<EnhancedMetafile> readEnhancedMetafile(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    const std::uint32_t type = in.u32(), size = in.u32();
    in.skip(16);  // bounds
    EnhancedMetafile metafile;
    metafile.bytes = bytes;
    metafile.frameLeft = in.s32(), metafile.frameTop = in.s32();
    metafile.frameRight = in.s32(), metafile.frameBottom = in.s32();
    const std::uint32_t signature = in.u32();
    in.skip(12);  // version, bytes, records
    metafile.handles = in.u16();
    in.skip(14);  // reserved, description, palette entries
    metafile.devicePixelsX = in.s32(), metafile.devicePixelsY = in.s32();
    metafile.deviceMmX = in.s32(), metafile.deviceMmY = in.s32();
    if (!in.ok() || type != kEnhancedHeader || signature != kSignature || size < kMinEnhancedHeaderBytes || size > bytes.size())
        return std::nullopt;
    // The walk: every record inside the file, the end record reached, not too many.
    ByteReader walk(bytes);
    std::uint64_t records = 0;
    while (true) {
        const std::size_t start = walk.position();
        const std::uint32_t recordType = walk.u32(), recordSize = walk.u32();
        if (!walk.ok() || recordSize < 8 || ++records > kMaxMetafileRecords) return refused(records);
        walk.seek(start);
        walk.skip(recordSize);
        if (!walk.ok()) return refused(records);
        if (!enhancedRecordFits(recordType, bytes.subspan(start, recordSize), metafile.handles))
            return overreaching(records, recordType);
        if (recordType == kEnhancedEnd) {
            metafile.length = walk.position();
            metafile.records = static_cast<std::uint32_t>(records);
            return metafile;
        }
    }
}

}  // namespace ks318::port::gdi
