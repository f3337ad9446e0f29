// LZFSE: a sequence of blocks (stored, LZVN, or entropy-coded L/M/D blocks
// with v1 or v2 headers) ended by an end-of-stream block.
#include "lzfse/lzfse.h"
#include "lzfse/copy.h"

#include <array>
#include <bit>
#include <memory>
#include <new>

namespace quorvel::lzfse_detail {
namespace {

constexpr uint32_t kMagicEnd = 0x24787662;    // "bvx$"
constexpr uint32_t kMagicStored = 0x2D787662; // "bvx-"
constexpr uint32_t kMagicV1 = 0x31787662;     // "bvx1"
constexpr uint32_t kMagicV2 = 0x32787662;     // "bvx2"
constexpr uint32_t kMagicLzvn = 0x6E787662;   // "bvxn"

constexpr size_t kMaxLiterals = 40000;
constexpr size_t kMaxMatches = 10000;

constexpr unsigned kLitStates = 1024, kLitSymbols = 256;
constexpr unsigned kLStates = 64, kLSymbols = 20;
constexpr unsigned kMStates = 64, kMSymbols = 20;
constexpr unsigned kDStates = 256, kDSymbols = 64;
constexpr unsigned kFreqCount = kLSymbols + kMSymbols + kDSymbols + kLitSymbols;

constexpr size_t kV1HeaderSize = 772;
constexpr size_t kV2FixedSize = 32;

constexpr std::array<uint8_t, kLSymbols> kLExtra = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                    0, 0, 0, 0, 0, 0, 2, 3, 5, 8};
constexpr std::array<uint32_t, kLSymbols> kLBase = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                                                    10, 11, 12, 13, 14, 15, 16, 20, 28, 60};
constexpr std::array<uint8_t, kMSymbols> kMExtra = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                    0, 0, 0, 0, 0, 0, 3, 5, 8, 11};
constexpr std::array<uint32_t, kMSymbols> kMBase = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                                                    10, 11, 12, 13, 14, 15, 16, 24, 56, 312};
constexpr std::array<uint8_t, kDSymbols> kDExtra = [] {
    std::array<uint8_t, kDSymbols> t{};
    for (unsigned s = 0; s < kDSymbols; ++s) t[s] = static_cast<uint8_t>(s / 4);
    return t;
}();
constexpr std::array<uint32_t, kDSymbols> kDBase = [] {
    std::array<uint32_t, kDSymbols> t{};
    for (unsigned s = 1; s < kDSymbols; ++s) t[s] = t[s - 1] + (1u << kDExtra[s - 1]);
    return t;
}();
static_assert(kDBase[7] == 10 && kDBase[32] == 1020 && kDBase[63] == 229372);

// One state of the literal decoder: emit `symbol`, read `nbits`, next state
// is base + bits.
struct LiteralEntry {
    uint16_t base;
    uint16_t mask; // 2^nbits - 1
    uint8_t nbits;
    uint8_t symbol;
};

// One state of an L, M or D decoder: read `total_bits` at once; the high
// (total_bits - value_bits) bits advance the state from `base`, the low
// value_bits bits are added to `value`.
struct ValueEntry {
    uint8_t total_bits;
    uint8_t value_bits;
    uint16_t base;
    uint32_t value;
    uint32_t total_mask; // 2^total_bits - 1
    uint32_t value_mask; // 2^value_bits - 1
};

// Working memory of the compressed-block decoder.
struct Scratch {
    std::array<LiteralEntry, kLitStates> lit_table;
    std::array<ValueEntry, kLStates> l_table;
    std::array<ValueEntry, kMStates> m_table;
    std::array<ValueEntry, kDStates> d_table;
    std::array<uint8_t, kMaxLiterals + 2 * kWideSlack> literals;
};

struct BlockHeader {
    uint32_t n_raw = 0;
    uint32_t n_literals = 0;
    uint32_t n_matches = 0;
    uint32_t n_lit_payload = 0;
    uint32_t n_lmd_payload = 0;
    int32_t literal_bits = 0;
    int32_t lmd_bits = 0;
    uint16_t lit_state[4] = {};
    uint16_t l_state = 0, m_state = 0, d_state = 0;
    // Order: L, M, D, literal.
    std::array<uint16_t, kFreqCount> freq = {};
    size_t header_size = 0;
};

constexpr size_t kLFreq = 0, kMFreq = kLSymbols, kDFreq = kMFreq + kMSymbols,
                 kLitFreq = kDFreq + kDSymbols;

// Reads a bit stream from its end towards its start. `cnt` bits are held in
// the low bits of `acc`; the next bits to read are the highest of those
// (bits above them are stale).
class BackwardBits {
public:
    // bits_field: minus the number of unused (zero) high bits of the last
    // byte.
    bool init(std::span<const uint8_t> bytes, int32_t bits_field) noexcept {
        start_ = bytes.data();
        const size_t n = bytes.size();
        acc_ = 0;
        cnt_ = 0;
        p_ = start_;
        if (n == 0) return bits_field == 0;
        if (bits_field < -8 || bits_field > 0) return false;
        const unsigned last = bytes[n - 1];
        cnt_ = static_cast<unsigned>(8 + bits_field);
        if ((last >> cnt_) != 0) return false;
        acc_ = last;
        p_ = start_ + n - 1;
        return true;
    }

    // Afterwards at least 56 bits are held, unless the stream runs out.
    void refill() noexcept {
        if (cnt_ >= 56) return;
        if (p_ - start_ >= 8) {
            const unsigned nb = (63 - cnt_) >> 3; // 1..7 whole bytes fit
            const uint64_t word = load_u64(p_ - 8);
            p_ -= nb;
            acc_ = (acc_ << (nb * 8)) | (word >> (64 - nb * 8));
            cnt_ += nb * 8;
            return;
        }
        while (cnt_ <= 55 && p_ > start_) {
            acc_ = (acc_ << 8) | *--p_;
            cnt_ += 8;
        }
    }

    unsigned held() const noexcept { return cnt_; }

    // Reads k bits; mask is 2^k - 1. Caller checked k <= held().
    uint32_t take(unsigned k, uint32_t mask) noexcept {
        cnt_ -= k;
        return static_cast<uint32_t>(acc_ >> cnt_) & mask;
    }

    // Bits not yet read.
    size_t remaining() const noexcept { return cnt_ + 8 * static_cast<size_t>(p_ - start_); }

private:
    const uint8_t* start_ = nullptr;
    const uint8_t* p_ = nullptr;
    uint64_t acc_ = 0;
    unsigned cnt_ = 0;
};

uint32_t field(uint64_t w, unsigned lo, unsigned width) noexcept {
    return static_cast<uint32_t>((w >> lo) & ((uint64_t{1} << width) - 1));
}

// Frequency codewords of v2 headers, read LSB first from `area`.
bool decode_frequencies(std::span<const uint8_t> area,
                        std::array<uint16_t, kFreqCount>& freq) noexcept {
    const size_t total_bits = area.size() * 8;
    size_t bitpos = 0;
    for (unsigned i = 0; i < kFreqCount; ++i) {
        // Gather the next (up to) 14 bits; missing bytes read as zero and the
        // length check below rejects any codeword reaching into them.
        const size_t byte = bitpos >> 3;
        uint32_t v = 0;
        for (size_t k = 0; k < 3 && byte + k < area.size(); ++k)
            v |= uint32_t{area[byte + k]} << (8 * k);
        v >>= bitpos & 7;
        unsigned len, value;
        if ((v & 1) == 0) {
            len = 2;
            value = (v >> 1) & 1;
        } else if ((v & 3) == 1) {
            len = 3;
            value = 2 + ((v >> 2) & 1);
        } else if ((v & 7) == 3) {
            len = 5;
            value = 4 + ((v >> 3) & 3);
        } else if ((v & 15) == 7) {
            len = 8;
            value = 8 + ((v >> 4) & 15);
        } else {
            len = 14;
            value = 24 + ((v >> 4) & 1023);
        }
        if (len > total_bits - bitpos) return false;
        bitpos += len;
        freq[i] = static_cast<uint16_t>(value);
    }
    return total_bits - bitpos < 8;
}

// Parses a v1 or v2 header at the start of `block` (which extends to the end
// of the input). Returns OK, TRUNCATED or CORRUPT.
lzfse_status parse_header(uint32_t magic, std::span<const uint8_t> block, BlockHeader& h) noexcept {
    const uint8_t* b = block.data();
    if (magic == kMagicV1) {
        if (block.size() < kV1HeaderSize) return LZFSE_STATUS_TRUNCATED;
        h.n_raw = load_u32(b + 4);
        h.n_literals = load_u32(b + 12);
        h.n_matches = load_u32(b + 16);
        h.n_lit_payload = load_u32(b + 20);
        h.n_lmd_payload = load_u32(b + 24);
        h.literal_bits = static_cast<int32_t>(load_u32(b + 28));
        for (unsigned i = 0; i < 4; ++i) h.lit_state[i] = load_u16(b + 32 + 2 * i);
        h.lmd_bits = static_cast<int32_t>(load_u32(b + 40));
        h.l_state = load_u16(b + 44);
        h.m_state = load_u16(b + 46);
        h.d_state = load_u16(b + 48);
        for (unsigned i = 0; i < kFreqCount; ++i) h.freq[i] = load_u16(b + 50 + 2 * i);
        h.header_size = kV1HeaderSize;
        return LZFSE_STATUS_OK;
    }
    if (block.size() < kV2FixedSize) return LZFSE_STATUS_TRUNCATED;
    const uint64_t w0 = load_u64(b + 8), w1 = load_u64(b + 16), w2 = load_u64(b + 24);
    h.n_raw = load_u32(b + 4);
    h.n_literals = field(w0, 0, 20);
    h.n_lit_payload = field(w0, 20, 20);
    h.n_matches = field(w0, 40, 20);
    h.literal_bits = static_cast<int32_t>(field(w0, 60, 3)) - 7;
    for (unsigned i = 0; i < 4; ++i) h.lit_state[i] = static_cast<uint16_t>(field(w1, 10 * i, 10));
    h.n_lmd_payload = field(w1, 40, 20);
    h.lmd_bits = static_cast<int32_t>(field(w1, 60, 3)) - 7;
    const uint32_t header_size = field(w2, 0, 32);
    h.l_state = static_cast<uint16_t>(field(w2, 32, 10));
    h.m_state = static_cast<uint16_t>(field(w2, 42, 10));
    h.d_state = static_cast<uint16_t>(field(w2, 52, 10));
    if (header_size < kV2FixedSize) return LZFSE_STATUS_CORRUPT;
    if (header_size > block.size()) return LZFSE_STATUS_TRUNCATED;
    h.header_size = header_size;
    if (!decode_frequencies(block.subspan(kV2FixedSize, header_size - kV2FixedSize), h.freq))
        return LZFSE_STATUS_CORRUPT;
    return LZFSE_STATUS_OK;
}

// Sum of freq[first .. first+count).
unsigned freq_sum(const BlockHeader& h, size_t first, size_t count) noexcept {
    unsigned s = 0;
    for (size_t i = first; i < first + count; ++i) s += h.freq[i];
    return s;
}

// A table that is used must hand out every state; an unused one may be
// partial (typically all zero).
bool table_ok(unsigned sum, unsigned states, bool used) noexcept {
    return used ? sum == states : sum <= states;
}

// Calls emit(state, symbol, nbits, base) for each state of the table built
// from freq (whose sum the caller checked to be <= states).
template <typename Emit>
void build_states(const uint16_t* freq, unsigned symbols, unsigned states, Emit emit) noexcept {
    const unsigned log_states = static_cast<unsigned>(std::countr_zero(states));
    unsigned state = 0;
    for (unsigned s = 0; s < symbols; ++s) {
        const unsigned f = freq[s];
        if (f == 0) continue;
        const unsigned k = log_states - (static_cast<unsigned>(std::bit_width(f)) - 1);
        const unsigned w = ((2 * states) >> k) - f;
        for (unsigned j = 0; j < f; ++j, ++state) {
            if (j < w)
                emit(state, s, k, ((f + j) << k) - states);
            else
                emit(state, s, k - 1, (j - w) << (k - 1));
        }
    }
}

void build_literal_table(const uint16_t* freq, std::array<LiteralEntry, kLitStates>& t) noexcept {
    build_states(freq, kLitSymbols, kLitStates,
                 [&](unsigned state, unsigned sym, unsigned nbits, unsigned base) {
                     t[state] = {static_cast<uint16_t>(base),
                                 static_cast<uint16_t>((1u << nbits) - 1),
                                 static_cast<uint8_t>(nbits), static_cast<uint8_t>(sym)};
                 });
}

template <size_t N, size_t S>
void build_value_table(const uint16_t* freq, const std::array<uint8_t, S>& extra,
                       const std::array<uint32_t, S>& vbase,
                       std::array<ValueEntry, N>& t) noexcept {
    build_states(freq, S, N, [&](unsigned state, unsigned sym, unsigned nbits, unsigned base) {
        const unsigned total = nbits + extra[sym];
        t[state] = {static_cast<uint8_t>(total), extra[sym],
                    static_cast<uint16_t>(base), vbase[sym],
                    (1u << total) - 1,           (1u << extra[sym]) - 1};
    });
}

// Decodes n literals (a multiple of 4), literal i with state i mod 4.
// Kept out of line: its loop wants all the registers.
[[gnu::noinline]] bool decode_literals(BackwardBits& reader, const LiteralEntry* t,
                                       const uint16_t (&initial)[4], uint8_t* out,
                                       size_t n) noexcept {
    // A local copy, so that the stores to `out` cannot alias the reader.
    BackwardBits bits = reader;
    unsigned s0 = initial[0], s1 = initial[1], s2 = initial[2], s3 = initial[3];
    for (size_t i = 0; i < n; i += 4) {
        bits.refill();
        if (bits.held() >= 4 * 10) { // four literals of at most 10 bits each
            LiteralEntry e = t[s0];
            out[i] = e.symbol;
            s0 = e.base + bits.take(e.nbits, e.mask);
            e = t[s1];
            out[i + 1] = e.symbol;
            s1 = e.base + bits.take(e.nbits, e.mask);
            e = t[s2];
            out[i + 2] = e.symbol;
            s2 = e.base + bits.take(e.nbits, e.mask);
            e = t[s3];
            out[i + 3] = e.symbol;
            s3 = e.base + bits.take(e.nbits, e.mask);
            continue;
        }
        unsigned* states[4] = {&s0, &s1, &s2, &s3};
        for (unsigned k = 0; k < 4; ++k) {
            const LiteralEntry e = t[*states[k]];
            if (e.nbits > bits.held()) return false;
            out[i + k] = e.symbol;
            *states[k] = e.base + bits.take(e.nbits, e.mask);
        }
    }
    reader = bits;
    return true;
}

// One value step; false when the stream has run out.
inline bool decode_value(BackwardBits& bits, const ValueEntry* table, unsigned& state,
                         uint32_t& value) noexcept {
    const ValueEntry e = table[state];
    if (e.total_bits > bits.held()) return false;
    const uint32_t v = bits.take(e.total_bits, e.total_mask);
    state = e.base + (v >> e.value_bits);
    value = e.value + (v & e.value_mask);
    return true;
}

// Decodes a v1/v2 block whose header is parsed; `body` is exactly the literal
// payload followed by the L/M/D payload.
lzfse_status decode_compressed(Output& out, const BlockHeader& h, std::span<const uint8_t> body,
                               Scratch& sc) noexcept {
    if (h.n_literals > kMaxLiterals || h.n_matches > kMaxMatches || h.n_literals % 4 != 0)
        return LZFSE_STATUS_CORRUPT;
    for (uint16_t s : h.lit_state)
        if (s >= kLitStates) return LZFSE_STATUS_CORRUPT;
    if (h.l_state >= kLStates || h.m_state >= kMStates || h.d_state >= kDStates)
        return LZFSE_STATUS_CORRUPT;
    const bool lits = h.n_literals > 0, lmd = h.n_matches > 0;
    if (!table_ok(freq_sum(h, kLFreq, kLSymbols), kLStates, lmd) ||
        !table_ok(freq_sum(h, kMFreq, kMSymbols), kMStates, lmd) ||
        !table_ok(freq_sum(h, kDFreq, kDSymbols), kDStates, lmd) ||
        !table_ok(freq_sum(h, kLitFreq, kLitSymbols), kLitStates, lits))
        return LZFSE_STATUS_CORRUPT;

    // Literals: four interleaved states over one stream.
    BackwardBits bits;
    if (!bits.init(body.first(h.n_lit_payload), h.literal_bits)) return LZFSE_STATUS_CORRUPT;
    uint8_t* const literals = sc.literals.data();
    if (lits) {
        build_literal_table(&h.freq[kLitFreq], sc.lit_table);
        if (!decode_literals(bits, sc.lit_table.data(), h.lit_state, literals, h.n_literals))
            return LZFSE_STATUS_CORRUPT;
    }
    if (bits.remaining() != 0) return LZFSE_STATUS_CORRUPT;
    // Wide literal copies may read this far past the last literal.
    std::memset(literals + h.n_literals, 0, 2 * kWideSlack);

    // L/M/D triples. The stream starts with 64 bits of padding that no
    // triple may consume.
    constexpr size_t kLmdPadding = 64;
    BackwardBits lmd_bits;
    if (!lmd_bits.init(body.subspan(h.n_lit_payload, h.n_lmd_payload), h.lmd_bits) ||
        lmd_bits.remaining() < kLmdPadding)
        return LZFSE_STATUS_CORRUPT;
    if (lmd) {
        build_value_table(&h.freq[kLFreq], kLExtra, kLBase, sc.l_table);
        build_value_table(&h.freq[kMFreq], kMExtra, kMBase, sc.m_table);
        build_value_table(&h.freq[kDFreq], kDExtra, kDBase, sc.d_table);
    }
    unsigned ls = h.l_state, ms = h.m_state, ds = h.d_state;
    const uint8_t* lit = literals;
    const uint8_t* const lit_end = literals + h.n_literals;
    size_t dist = 0; // none yet in this block
    // Output cursor in locals: the byte stores could otherwise alias `out`.
    uint8_t* const base = out.base;
    uint8_t* op = base + out.pos;
    uint8_t* const oend = base + out.end();
    const ValueEntry* const lt = sc.l_table.data();
    const ValueEntry* const mt = sc.m_table.data();
    const ValueEntry* const dt = sc.d_table.data();
    for (size_t t = 0; t < h.n_matches; ++t) {
        uint32_t l, m, d;
        lmd_bits.refill(); // at most 14 + 17 + 23 bits per triple
        if (!decode_value(lmd_bits, lt, ls, l) || !decode_value(lmd_bits, mt, ms, m) ||
            !decode_value(lmd_bits, dt, ds, d)) {
            out.pos = static_cast<size_t>(op - base);
            return LZFSE_STATUS_CORRUPT;
        }
        if (d != 0) dist = d;
        if (dist == 0 || l > static_cast<size_t>(lit_end - lit) ||
            dist > static_cast<size_t>(op - base) + l) {
            out.pos = static_cast<size_t>(op - base);
            return LZFSE_STATUS_CORRUPT;
        }
        const size_t room = static_cast<size_t>(oend - op);
        if (room >= size_t{l} + m + kWideSlack) {
            copy_literals(op, lit, l, true);
            op += l;
            lit += l;
            copy_match(op, dist, m, room - l);
            op += m;
            continue;
        }
        if (size_t{l} + m <= room) {
            std::memcpy(op, lit, l);
            op += l;
            lit += l;
            copy_match(op, dist, m, room - l);
            op += m;
            continue;
        }
        // Does not fit: fill what does, then report.
        out.pos = static_cast<size_t>(op - base);
        const lzfse_status st = out.overflow(size_t{l} + m);
        if (st == LZFSE_STATUS_DST_TOO_SMALL) {
            const size_t nl = std::min<size_t>(l, room);
            std::memcpy(op, lit, nl);
            copy_match(op + nl, dist, room - nl, room - nl);
            out.pos += room;
        }
        return st;
    }
    out.pos = static_cast<size_t>(op - base);
    if (lmd_bits.remaining() != kLmdPadding) return LZFSE_STATUS_CORRUPT;
    return LZFSE_STATUS_OK;
}

// out.pos + n, saturated (a block end that far away is never reached).
size_t end_after(const Output& out, size_t n) noexcept {
    return n > SIZE_MAX - out.pos ? SIZE_MAX : out.pos + n;
}

lzfse_status decode_stream(Output& out, std::span<const uint8_t> in, Scratch* scratch) noexcept {
    std::unique_ptr<Scratch> own;
    // Each block consumes at least 4 input bytes, so this loop ends.
    for (;;) {
        if (in.size() < 4) return LZFSE_STATUS_TRUNCATED;
        const uint32_t magic = load_u32(in.data());
        switch (magic) {
        case kMagicEnd:
            return LZFSE_STATUS_OK;

        case kMagicStored: {
            if (in.size() < 8) return LZFSE_STATUS_TRUNCATED;
            const size_t n = load_u32(in.data() + 4);
            if (n > in.size() - 8) return LZFSE_STATUS_TRUNCATED;
            const size_t room = out.cap - out.pos;
            std::memcpy(out.base + out.pos, in.data() + 8, std::min(n, room));
            if (n > room) {
                out.pos = out.cap;
                return LZFSE_STATUS_DST_TOO_SMALL;
            }
            out.pos += n;
            in = in.subspan(8 + n);
            break;
        }

        case kMagicLzvn: {
            if (in.size() < 12) return LZFSE_STATUS_TRUNCATED;
            const size_t n_raw = load_u32(in.data() + 4);
            const size_t n_payload = load_u32(in.data() + 8);
            if (n_payload > in.size() - 12) return LZFSE_STATUS_TRUNCATED;
            out.block_end = end_after(out, n_raw);
            size_t used = 0;
            const lzfse_status st = lzvn_run(out, in.subspan(12, n_payload), &used);
            if (st == LZFSE_STATUS_TRUNCATED) return LZFSE_STATUS_CORRUPT; // payload too short
            if (st != LZFSE_STATUS_OK) return st;
            if (used != n_payload || out.pos != out.block_end) return LZFSE_STATUS_CORRUPT;
            out.block_end = SIZE_MAX;
            in = in.subspan(12 + n_payload);
            break;
        }

        case kMagicV1:
        case kMagicV2: {
            BlockHeader h;
            if (const auto st = parse_header(magic, in, h); st != LZFSE_STATUS_OK) return st;
            const uint64_t body_size = uint64_t{h.n_lit_payload} + h.n_lmd_payload;
            if (body_size > in.size() - h.header_size) return LZFSE_STATUS_TRUNCATED;
            if (scratch == nullptr) {
                // Allocated once per call, on the first compressed block.
                try {
                    own = std::make_unique_for_overwrite<Scratch>();
                } catch (const std::bad_alloc&) {
                    return LZFSE_STATUS_NO_MEMORY;
                }
                scratch = own.get();
            }
            out.block_end = end_after(out, h.n_raw);
            const lzfse_status st = decode_compressed(
                out, h, in.subspan(h.header_size, static_cast<size_t>(body_size)), *scratch);
            if (st != LZFSE_STATUS_OK) return st;
            if (out.pos != out.block_end) return LZFSE_STATUS_CORRUPT;
            out.block_end = SIZE_MAX;
            in = in.subspan(h.header_size + static_cast<size_t>(body_size));
            break;
        }

        default:
            return LZFSE_STATUS_CORRUPT;
        }
    }
}

} // namespace
} // namespace quorvel::lzfse_detail

using quorvel::lzfse_detail::Output;
using quorvel::lzfse_detail::Scratch;

namespace {

// A destination the decoders may always form pointers into: a null dst
// (allowed with dst_size 0) becomes a zero-capacity dummy.
Output make_output(uint8_t* dst, size_t dst_size) noexcept {
    static uint8_t dummy;
    if (dst == nullptr) return Output{&dummy, 0, 0, SIZE_MAX};
    return Output{dst, 0, dst_size, SIZE_MAX};
}

const uint8_t kNoInput = 0;

} // namespace

extern "C" {

size_t lzfse_decode_scratch_size(void) {
    return sizeof(Scratch);
}

lzfse_status lzfse_decode(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size,
                          void* scratch, size_t* produced) {
    Output out = make_output(dst, dst_size);
    if (src == nullptr) src = &kNoInput, src_size = 0;
    Scratch* sc = nullptr;
    if (scratch != nullptr && reinterpret_cast<uintptr_t>(scratch) % alignof(Scratch) == 0)
        sc = static_cast<Scratch*>(scratch);
    const lzfse_status st = quorvel::lzfse_detail::decode_stream(out, {src, src_size}, sc);
    if (produced != nullptr) *produced = out.pos;
    return st;
}

size_t lzfse_decode_buffer(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size,
                           void* scratch) {
    size_t produced = 0;
    switch (lzfse_decode(dst, dst_size, src, src_size, scratch, &produced)) {
    case LZFSE_STATUS_OK:
        return produced;
    case LZFSE_STATUS_DST_TOO_SMALL:
        return dst_size;
    default:
        return 0;
    }
}

lzfse_status lzvn_decode(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size,
                         size_t* produced) {
    Output out = make_output(dst, dst_size);
    if (src == nullptr) src = &kNoInput, src_size = 0;
    size_t used = 0;
    const lzfse_status st = quorvel::lzfse_detail::lzvn_run(out, {src, src_size}, &used);
    if (produced != nullptr) *produced = out.pos;
    return st;
}

size_t lzvn_decode_buffer(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size) {
    size_t produced = 0;
    switch (lzvn_decode(dst, dst_size, src, src_size, &produced)) {
    case LZFSE_STATUS_OK:
        return produced;
    case LZFSE_STATUS_DST_TOO_SMALL:
        return dst_size;
    default:
        return 0;
    }
}

const char* lzfse_status_name(lzfse_status status) {
    switch (status) {
    case LZFSE_STATUS_OK:
        return "ok";
    case LZFSE_STATUS_DST_TOO_SMALL:
        return "destination too small";
    case LZFSE_STATUS_TRUNCATED:
        return "truncated input";
    case LZFSE_STATUS_CORRUPT:
        return "corrupt input";
    case LZFSE_STATUS_NO_MEMORY:
        return "out of memory";
    }
    return "unknown status";
}

} // extern "C"
