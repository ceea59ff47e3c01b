#include "PngWriter.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>

namespace png {

namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr int kBytesPerPixel = 3;
constexpr std::size_t kMaxStoredBlock = 65535;
constexpr int kWindow = 32768;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 258;
constexpr int kMaxChain = 96; // enough for drawings; deeper searches buy little

constexpr std::array<int, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                             15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                             67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<int, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<int, 30> kDistanceBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<int, 30> kDistanceExtra = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

const std::array<std::uint32_t, 256> &CrcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

// Deflate's bit order: values go in from the least significant bit on.
class BitWriter {
  public:
    void Put(std::uint32_t value, int bits) {
        for (int i = 0; i < bits; ++i) {
            current_ |= static_cast<std::uint8_t>(((value >> i) & 1) << used_);
            if (++used_ == 8)
                FlushByte();
        }
    }
    // Huffman codes go in from their most significant bit on.
    void PutCode(std::uint32_t code, int bits) {
        for (int i = bits - 1; i >= 0; --i)
            Put((code >> i) & 1, 1);
    }
    void AlignToByte() {
        if (used_ > 0)
            FlushByte();
    }
    void PutByte(std::uint8_t byte) { out_.push_back(byte); } // only when aligned
    std::vector<std::uint8_t> Take() {
        AlignToByte();
        return std::move(out_);
    }

  private:
    void FlushByte() {
        out_.push_back(current_);
        current_ = 0;
        used_ = 0;
    }
    std::vector<std::uint8_t> out_;
    std::uint8_t current_ = 0;
    int used_ = 0;
};

void PutLiteral(BitWriter &bits, int symbol) {
    if (symbol < 144)
        bits.PutCode(0x30 + symbol, 8);
    else if (symbol < 256)
        bits.PutCode(0x190 + symbol - 144, 9);
    else if (symbol < 280)
        bits.PutCode(symbol - 256, 7);
    else
        bits.PutCode(0xC0 + symbol - 280, 8);
}

void PutMatch(BitWriter &bits, int length, int distance) {
    const int lengthCode = static_cast<int>(
        std::upper_bound(kLengthBase.begin(), kLengthBase.end(), length) - kLengthBase.begin() - 1);
    PutLiteral(bits, 257 + lengthCode);
    bits.Put(static_cast<std::uint32_t>(length - kLengthBase[lengthCode]),
             kLengthExtra[lengthCode]);
    const int distanceCode =
        static_cast<int>(std::upper_bound(kDistanceBase.begin(), kDistanceBase.end(), distance) -
                         kDistanceBase.begin() - 1);
    bits.PutCode(static_cast<std::uint32_t>(distanceCode), 5);
    bits.Put(static_cast<std::uint32_t>(distance - kDistanceBase[distanceCode]),
             kDistanceExtra[distanceCode]);
}

void DeflateStored(BitWriter &bits, std::span<const std::uint8_t> data) {
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(kMaxStoredBlock, data.size() - at);
        const bool last = at + n == data.size();
        bits.Put(last ? 1 : 0, 1);
        bits.Put(0, 2);
        bits.AlignToByte();
        const auto len = static_cast<std::uint16_t>(n);
        for (std::uint16_t v : {len, static_cast<std::uint16_t>(~len)}) {
            bits.PutByte(static_cast<std::uint8_t>(v));
            bits.PutByte(static_cast<std::uint8_t>(v >> 8));
        }
        for (std::size_t i = 0; i < n; ++i)
            bits.PutByte(data[at + i]);
        at += n;
    } while (at < data.size());
}

// One block with the fixed codes; matches found through hash chains of three-byte prefixes.
void DeflateFixed(BitWriter &bits, std::span<const std::uint8_t> data) {
    constexpr int kHashBits = 15;
    const int n = static_cast<int>(data.size());
    std::vector<int> head(1u << kHashBits, -1);
    std::vector<int> previous(data.size(), -1);
    const auto hashAt = [&](int at) {
        const std::uint32_t v = data[at] | data[at + 1] << 8 | data[at + 2] << 16;
        return (v * 2654435761u) >> (32 - kHashBits);
    };
    const auto insert = [&](int at) {
        if (at + kMinMatch > n)
            return;
        const auto h = hashAt(at);
        previous[at] = head[h];
        head[h] = at;
    };

    bits.Put(1, 1); // the last block
    bits.Put(1, 2); // fixed codes
    for (int at = 0; at < n;) {
        int bestLength = 0, bestDistance = 0;
        if (at + kMinMatch <= n) {
            const int limit = std::min(kMaxMatch, n - at);
            int chain = 0;
            for (int candidate = head[hashAt(at)];
                 candidate >= 0 && at - candidate <= kWindow && chain < kMaxChain;
                 candidate = previous[candidate], ++chain) {
                int length = 0;
                while (length < limit && data[candidate + length] == data[at + length])
                    ++length;
                if (length > bestLength) {
                    bestLength = length;
                    bestDistance = at - candidate;
                    if (length == limit)
                        break;
                }
            }
        }
        if (bestLength >= kMinMatch) {
            PutMatch(bits, bestLength, bestDistance);
            for (int i = 0; i < bestLength; ++i)
                insert(at + i);
            at += bestLength;
        } else {
            PutLiteral(bits, data[at]);
            insert(at);
            ++at;
        }
    }
    PutLiteral(bits, 256);
}

void PutBigEndian(std::vector<std::uint8_t> &out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void PutChunk(std::vector<std::uint8_t> &out, const char (&type)[5],
              std::span<const std::uint8_t> body) {
    PutBigEndian(out, static_cast<std::uint32_t>(body.size()));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), body.begin(), body.end());
    PutBigEndian(out, Crc32({out.data() + typeAt, 4 + body.size()}));
}

int Paeth(int left, int up, int upLeft) {
    const int p = left + up - upLeft;
    const int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upLeft);
    if (pa <= pb && pa <= pc)
        return left;
    return pb <= pc ? up : upLeft;
}

// Each row with the filter whose output has the smallest sum of magnitudes: the usual guess at
// what compresses best.
std::vector<std::uint8_t> FilterRows(const Image &image) {
    const std::size_t stride = static_cast<std::size_t>(image.Width) * kBytesPerPixel;
    std::vector<std::uint8_t> out;
    out.reserve((stride + 1) * static_cast<std::size_t>(image.Height));
    std::vector<std::uint8_t> zero(stride, 0), candidate(stride);
    for (int y = 0; y < image.Height; ++y) {
        const std::uint8_t *row = image.Rgb.data() + stride * static_cast<std::size_t>(y);
        const std::uint8_t *above = y > 0 ? row - stride : zero.data();
        int bestFilter = 0;
        long bestCost = -1;
        std::vector<std::uint8_t> best;
        for (int filter = 0; filter <= 4; ++filter) {
            long cost = 0;
            for (std::size_t i = 0; i < stride; ++i) {
                const int left = i >= kBytesPerPixel ? row[i - kBytesPerPixel] : 0;
                const int upLeft = i >= kBytesPerPixel ? above[i - kBytesPerPixel] : 0;
                const int predictors[5] = {0, left, above[i], (left + above[i]) / 2,
                                           Paeth(left, above[i], upLeft)};
                candidate[i] = static_cast<std::uint8_t>(row[i] - predictors[filter]);
                cost += std::abs(static_cast<std::int8_t>(candidate[i]));
            }
            if (bestCost < 0 || cost < bestCost) {
                bestCost = cost;
                bestFilter = filter;
                best = candidate;
            }
        }
        out.push_back(static_cast<std::uint8_t>(bestFilter));
        out.insert(out.end(), best.begin(), best.end());
    }
    return out;
}

} // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    const auto &table = CrcTable();
    crc = ~crc;
    for (std::uint8_t b : bytes)
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::uint32_t Adler32(std::span<const std::uint8_t> bytes) {
    constexpr std::uint32_t kModulus = 65521;
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : bytes) {
        a = (a + byte) % kModulus;
        b = (b + a) % kModulus;
    }
    return b << 16 | a;
}

std::vector<std::uint8_t> ZlibCompress(std::span<const std::uint8_t> data, Deflate mode) {
    BitWriter bits;
    // 32 KiB window, deflate; the check bits make the pair a multiple of 31.
    bits.PutByte(0x78);
    bits.PutByte(mode == Deflate::Stored ? 0x01 : 0x9C);
    if (mode == Deflate::Stored)
        DeflateStored(bits, data);
    else
        DeflateFixed(bits, data);
    std::vector<std::uint8_t> out = bits.Take();
    PutBigEndian(out, Adler32(data));
    return out;
}

std::vector<std::uint8_t> Encode(const Image &image, Deflate mode) {
    if (image.Width <= 0 || image.Height <= 0 ||
        image.Rgb.size() < static_cast<std::size_t>(image.Width) * image.Height * kBytesPerPixel)
        return {};
    std::vector<std::uint8_t> out(kSignature.begin(), kSignature.end());
    std::vector<std::uint8_t> header;
    PutBigEndian(header, static_cast<std::uint32_t>(image.Width));
    PutBigEndian(header, static_cast<std::uint32_t>(image.Height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits per channel, RGB, deflate, no interlace
    PutChunk(out, "IHDR", header);
    PutChunk(out, "IDAT", ZlibCompress(FilterRows(image), mode));
    PutChunk(out, "IEND", {});
    return out;
}

bool Save(const std::filesystem::path &path, const Image &image, Deflate mode) {
    const std::vector<std::uint8_t> bytes = Encode(image, mode);
    if (bytes.empty())
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

} // namespace png
