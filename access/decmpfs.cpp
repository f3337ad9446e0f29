// Compressed files: the decmpfs attribute header, the chunk tables of the
// resource fork, the decoding of one unit, the reads through the one-chunk
// cache, and the decode-ahead of sequential reads.
//
// Adding a compression type: write its decoder (an hfs_decmp_decoder, next
// to decode_zlib below) unless an existing one fits, and add its row to
// `kinds`: the type number, where its data lives, the decoder, the marker
// byte of a unit kept uncompressed, the chunk tables its resource fork may
// hold and the chunk size. The probe, the reads, st_blksize and the chunk
// benchmark all go by the row.
#include "access/decmpfs.h"

#include "access/device.h"

#include "libhfs/byte_order.h"
#include "libhfs/report.h"
#include "lzfse/lzfse.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <pthread.h>
#include <signal.h>
#include <stop_token>
#include <string_view>
#include <system_error>
#include <thread>

namespace {

constexpr uint32_t decmpfs_magic = 0x636D7066; // "fpmc" read little-endian
constexpr size_t header_size = 16;
constexpr uint8_t compressed_flag = 0x20; // of the owner flags
constexpr std::u16string_view attribute_name = u"com.apple.decmpfs";

// An inline payload lives in one attribute record of a few KiB; a file it
// claims to be larger than this is refused rather than allocated.
constexpr uint64_t max_inline_size = uint64_t{64} << 20;

// --- Decoders ---------------------------------------------------------------

int decode_zlib(std::span<uint8_t> dst, std::span<const uint8_t> src, hfs_decmp_scratch*, bool,
                size_t& produced) {
    if (src.size() > ULONG_MAX) return -EIO;
    uLongf got = dst.size() > ULONG_MAX ? ULONG_MAX : static_cast<uLongf>(dst.size());
    // zlib's results become errno values here.
    const int rc = uncompress(dst.data(), &got, src.data(), static_cast<uLong>(src.size()));
    produced = got;
    return rc == Z_OK ? 0 : rc == Z_MEM_ERROR ? -ENOMEM : -EIO;
}

int decode_lzfse(std::span<uint8_t> dst, std::span<const uint8_t> src, hfs_decmp_scratch* scratch,
                 bool exact, size_t& produced) {
    void* tables = nullptr;
    if (scratch && !(tables = scratch->lzfse())) return -ENOMEM;
    if (exact) {
        size_t got = 0;
        const lzfse_status st =
            lzfse_decode(dst.data(), dst.size(), src.data(), src.size(), tables, &got);
        produced = st == LZFSE_STATUS_OK ? got : 0;
    } else {
        produced = lzfse_decode_buffer(dst.data(), dst.size(), src.data(), src.size(), tables);
    }
    return 0;
}

// A raw LZVN stream, or an LZFSE stream (which begins with a block magic).
int decode_lzvn(std::span<uint8_t> dst, std::span<const uint8_t> src, hfs_decmp_scratch* scratch,
                bool exact, size_t& produced) {
    if (src.size() >= 3 && src[0] == 'b' && src[1] == 'v' && src[2] == 'x')
        return decode_lzfse(dst, src, scratch, exact, produced);
    if (exact) {
        size_t got = 0;
        const lzfse_status st = lzvn_decode(dst.data(), dst.size(), src.data(), src.size(), &got);
        produced = st == LZFSE_STATUS_OK ? got : 0;
    } else {
        produced = lzvn_decode_buffer(dst.data(), dst.size(), src.data(), src.size());
    }
    return 0;
}

// --- The compression types --------------------------------------------------

constexpr uint8_t zlib_stored = 0xFF;
constexpr uint8_t lz_stored = 0x06;
constexpr uint32_t chunk_64k = 65536;
constexpr hfs_decmp_layouts whole{};
constexpr hfs_decmp_layouts resource_table{.resource = true};
constexpr hfs_decmp_layouts either_table{.offsets = true, .resource = true};

using enum hfs_decmp_home;
constexpr auto kinds = std::to_array<hfs_decmp_kind>({
    // type, home, decoder, stored marker, chunk tables, chunk size
    {3, attribute, decode_zlib, zlib_stored, whole, 0},
    {4, resource_fork, decode_zlib, zlib_stored, resource_table, chunk_64k},
    {5, nowhere, nullptr, 0, whole, 0},
    {7, attribute, decode_lzvn, lz_stored, whole, 0},
    {8, resource_fork, decode_lzvn, lz_stored, either_table, chunk_64k},
    {11, attribute, decode_lzfse, lz_stored, whole, 0},
    {12, resource_fork, decode_lzfse, lz_stored, either_table, chunk_64k},
});

// What the reads count on of every row.
constexpr bool kinds_consistent() {
    for (size_t i = 0; i < kinds.size(); ++i) {
        const hfs_decmp_kind& k = kinds[i];
        if (i > 0 && kinds[i - 1].type >= k.type) return false; // each type once
        if ((k.home == nowhere) != (k.decode == nullptr)) return false;
        const bool chunked = k.home == resource_fork;
        if (chunked != (k.layouts.offsets || k.layouts.resource)) return false;
        // A chunk (and twice its size, the longest compressed chunk taken)
        // is counted in 32 bits.
        if (chunked != (k.chunk_size != 0) || k.chunk_size > UINT32_MAX / 2) return false;
    }
    return true;
}
static_assert(kinds_consistent());

using hfslib::load_be32;
using hfslib::load_le32;
using hfslib::load_le64;

// Messages of this layer carry no source location.
template <class... Args>
void report(const char* format, Args... args) {
    hfslib_report(format, nullptr, 0, args...);
}

// hfs_decmp_unpack with, when `exact`, dst_cap the exact length the unit
// must give: a longer output then fails instead of filling dst_cap + 1 bytes.
int unpack_unit(uint8_t type, uint8_t* dst, size_t dst_cap, const uint8_t* src, size_t src_len,
                size_t* out_len, hfs_decmp_scratch* scratch, bool exact);

// Number of chunks of the file.
uint64_t chunks_for(const hfs_decmp& s) {
    const uint32_t chunk = s.kind->chunk_size;
    return s.size / chunk + (s.size % chunk != 0);
}

// Uncompressed bytes chunk i of the file stands for.
uint64_t chunk_bytes(const hfs_decmp& s, uint64_t i) {
    const uint64_t start = i * s.kind->chunk_size;
    return std::min<uint64_t>(s.kind->chunk_size, s.size - start);
}

// The read results of the fork reader as errno values: the reader's own -1
// (bad arguments, extent arithmetic) and anything non-negative become -EIO;
// a hook's negative errno value passes.
int fork_error(int rc) {
    return rc < -1 ? rc : -EIO;
}

// Bytes the extent list covers, saturating.
uint64_t fork_bytes(const hfslib_vol& vol, std::span<const hfslib_extent> extents) {
    uint64_t total = 0;
    for (const hfslib_extent& e : extents) {
        const uint64_t bytes = uint64_t{e.block_count} * vol.vh.block_size;
        if (__builtin_add_overflow(total, bytes, &total)) return UINT64_MAX;
    }
    return total;
}

// Reads exactly `length` bytes at `offset` of the resource fork.
int read_rsrc(hfslib_vol* vol, const hfs_decmp& s, uint8_t* buf, uint64_t length, uint64_t offset) {
    if (length == 0) return 0;
    uint64_t got = 0;
    const int rc = hfslib_read_fork_range(vol, buf, &got, length, offset, s.rsrc_extents.data(),
                                          s.rsrc_extent_count, nullptr);
    if (rc != 0) return fork_error(rc);
    return got == length ? 0 : -EIO;
}

// Chunks of one table page: 4 KiB of resource-layout entries. A page is
// read and checked whole, the first at open.
constexpr uint32_t page_chunks = 512;
using page_bytes = std::array<uint8_t, (page_chunks + 1) * 8>;

// The working memory of one thread's chunk reads: one compressed chunk, the
// decoders' tables, and a decoded chunk when its file's cache could not be
// had. Per thread (a request thread or a decode-ahead worker), never per
// file: at most 2 x 64 KiB + 64 KiB + 50 KB for each.
struct chunk_working {
    std::vector<uint8_t> packed;
    hfs_decmp_scratch scratch;
    std::vector<uint8_t> chunk;
};
chunk_working& working() {
    thread_local chunk_working mine;
    return mine;
}

// Reads and checks the entries of chunks [first, first + count) into `out`:
// each chunk within the fork and no longer than twice the chunk size; in
// the offsets layout, offsets that never decrease. 0, -EIO for a page that
// does not hold such entries, or the error of a read.
int load_page(hfslib_vol* vol, const hfs_decmp& s, uint32_t first, uint32_t count,
              hfs_decmp_chunk* out) {
    page_bytes raw{};
    const uint32_t max_chunk_length = 2 * s.kind->chunk_size;
    auto fits = [&](uint64_t offset, uint64_t length) {
        return length <= max_chunk_length && offset <= s.fork_len && length <= s.fork_len - offset;
    };
    if (s.offsets_layout) {
        if (int rc = read_rsrc(vol, s, raw.data(), (uint64_t{count} + 1) * 4,
                               s.table_at + uint64_t{first} * 4))
            return rc;
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t at = load_le32(raw, 4 * k);
            const uint32_t next = load_le32(raw, 4 * k + 4);
            if (next < at || !fits(at, next - at)) return -EIO;
            out[k] = {at, next - at};
        }
        return 0;
    }
    if (int rc =
            read_rsrc(vol, s, raw.data(), uint64_t{count} * 8, s.table_at + uint64_t{first} * 8))
        return rc;
    for (uint32_t k = 0; k < count; ++k) {
        const uint64_t offset = s.offsets_from + load_le32(raw, 8 * k);
        const uint32_t length = load_le32(raw, 8 * k + 4);
        if (offset > UINT32_MAX || !fits(offset, length)) return -EIO;
        out[k] = {static_cast<uint32_t>(offset), length};
    }
    return 0;
}

// The entry of chunk i, from the kept page or read with its page (which is
// then kept, when the budget had room for one).
int chunk_entry(hfslib_vol* vol, hfs_decmp& s, uint32_t i, hfs_decmp_chunk& out) {
    const uint32_t first = i - i % page_chunks;
    {
        std::lock_guard held(s.page_lock);
        if (s.page && s.page_first == first) {
            out = s.page[i - first];
            return 0;
        }
    }
    const uint32_t count = std::min<uint32_t>(page_chunks, s.chunk_count - first);
    std::array<hfs_decmp_chunk, page_chunks> entries{};
    if (int rc = load_page(vol, s, first, count, entries.data())) {
        if (rc == -EIO)
            report("bad decmpfs chunk table for cnid %u (chunks %u to %u)\n", s.cnid, first,
                   first + count - 1);
        return rc;
    }
    out = entries[i - first];
    std::lock_guard held(s.page_lock);
    if (s.page) {
        std::copy_n(entries.begin(), count, s.page.get());
        s.page_first = first;
    }
    return 0;
}

// Bytes the extent list covers within the volume, saturating: a fork never
// holds more than the volume allocates.
uint64_t fork_within_volume(const hfslib_vol& vol, std::span<const hfslib_extent> extents) {
    const uint64_t volume = uint64_t{vol.vh.total_blocks} * vol.vh.block_size;
    return std::min(fork_bytes(vol, extents), volume);
}

// Finds the chunk table of a chunked file from its sizes and its first
// page, never from the entries beyond: N + 1 little-endian offsets from the
// fork start, the first being the table's own length (the layout real
// volumes use), or a resource header - a big-endian data offset D at fork
// offset 0; at D + 4 a little-endian count, then (offset, length) pairs
// whose offsets count from D + 4. A table that the fork cannot hold is
// refused before anything is read past its header. Types that take both
// try the offsets table first.
int open_chunked(hfslib_vol* vol, hfs_decmp& s) {
    const uint64_t n = chunks_for(s);
    s.fork_len = fork_within_volume(*vol, s.rsrc_extents);
    if (n > UINT32_MAX) {
        report("decmpfs size of cnid %u needs more than 2^32 chunks\n", s.cnid);
        return -EIO;
    }
    s.chunk_count = static_cast<uint32_t>(n);
    std::array<hfs_decmp_chunk, page_chunks> entries{};
    const uint32_t count = std::min<uint32_t>(page_chunks, s.chunk_count);
    std::array<uint8_t, 4> word{};
    bool taken = false;
    if (s.kind->layouts.offsets && (n + 1) * 4 <= std::min<uint64_t>(s.fork_len, UINT32_MAX)) {
        if (int rc = read_rsrc(vol, s, word.data(), 4, 0)) return rc;
        s.offsets_layout = true;
        s.table_at = 0;
        if (load_le32(word) == (n + 1) * 4) {
            const int rc = load_page(vol, s, 0, count, entries.data());
            if (rc != 0 && rc != -EIO) return rc;
            taken = rc == 0;
        }
    }
    if (!taken && s.kind->layouts.resource && s.fork_len >= 4) {
        s.offsets_layout = false;
        if (int rc = read_rsrc(vol, s, word.data(), 4, 0)) return rc;
        const uint64_t base = uint64_t{load_be32(word)} + 4;
        if (base + 4 <= s.fork_len) {
            if (int rc = read_rsrc(vol, s, word.data(), 4, base)) return rc;
            s.table_at = base + 4;
            s.offsets_from = base;
            // The count must match the file's size, and the table lie in
            // the fork.
            if (load_le32(word) == n && s.table_at + n * 8 <= s.fork_len) {
                const int rc = load_page(vol, s, 0, count, entries.data());
                if (rc != 0 && rc != -EIO) return rc;
                taken = rc == 0;
            }
        }
    }
    if (!taken) {
        report("bad decmpfs chunk table for cnid %u\n", s.cnid);
        return -EIO;
    }
    if (s.page_charge.take(hfs_file_cache_budget, sizeof(hfs_decmp_chunk) * page_chunks)) {
        s.page = std::make_unique_for_overwrite<hfs_decmp_chunk[]>(page_chunks);
        std::copy_n(entries.begin(), count, s.page.get());
        s.page_first = 0;
    }
    if (s.chunk_count > 1) s.ahead.reset(std::make_unique<hfs_decmp_ahead>(s).release());
    return 0;
}

// Decodes an inline unit whole into the state's buffer, when the budget has
// room for it; else keeps only the payload, and reads decode what they need.
int open_inline(hfs_decmp& s, std::span<const uint8_t> payload) {
    if (s.size > max_inline_size) {
        report("decmpfs inline size %llu of cnid %u too large\n",
               static_cast<unsigned long long>(s.size), s.cnid);
        return -EIO;
    }
    s.payload.assign(payload.begin(), payload.end());
    if (s.size == 0) return 0; // nothing to decode
    if (!s.buf_charge.take(hfs_file_cache_budget, s.size + 1)) return 0;
    s.buf = std::make_unique_for_overwrite<uint8_t[]>(s.size + 1);
    size_t produced = 0;
    const int rc = hfs_decmp_unpack(s.type, s.buf.get(), s.size + 1, payload.data(), payload.size(),
                                    &produced);
    if (rc != 0 || produced != s.size) {
        report("decmpfs payload of cnid %u does not decode to %llu bytes\n", s.cnid,
               static_cast<unsigned long long>(s.size));
        return -EIO;
    }
    s.buf_len = s.size;
    return 0;
}

// Bytes [at, at + n) of a zlib stream, inflated through a window of 64 KiB.
int inflate_range(std::span<const uint8_t> src, uint8_t* out, uint64_t at, uint64_t n) {
    if (src.size() > UINT_MAX) return -EIO;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return -ENOMEM;
    struct ender {
        z_stream& z;
        ~ender() { inflateEnd(&z); }
    } end_guard{z};
    std::vector<uint8_t>& window = working().chunk;
    window.resize(chunk_64k);
    z.next_in = const_cast<Bytef*>(src.data());
    z.avail_in = static_cast<uInt>(src.size());
    const uint64_t end = at + n;
    uint64_t pos = 0;
    while (pos < end) {
        z.next_out = window.data();
        z.avail_out = static_cast<uInt>(window.size());
        const int rc = inflate(&z, Z_NO_FLUSH);
        const uint64_t got = window.size() - z.avail_out;
        const uint64_t from = std::max(pos, at);
        const uint64_t to = std::min(pos + got, end);
        if (from < to) std::memcpy(out + (from - at), window.data() + (from - pos), to - from);
        pos += got;
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK) return rc == Z_MEM_ERROR ? -ENOMEM : -EIO;
    }
    return pos >= end ? 0 : -EIO;
}

// Bytes [at, at + n) of an inline file whose decoded bytes are not kept:
// a stored unit is copied, a zlib stream inflated up to them, another
// stream decoded up to their end into a buffer of this read.
int read_inline_uncached(const hfs_decmp& s, uint8_t* out, uint64_t at, uint64_t n) {
    const std::span<const uint8_t> unit(s.payload);
    int rc = -EIO;
    if (unit.empty()) {
        rc = -EIO;
    } else if (unit[0] == s.kind->stored_marker) {
        if (unit.size() - 1 == s.size) {
            std::memcpy(out, unit.data() + 1 + at, n);
            rc = 0;
        }
    } else if (s.kind->decode == decode_zlib) {
        rc = inflate_range(unit, out, at, n);
    } else {
        std::vector<uint8_t> prefix(at + n);
        size_t produced = 0;
        rc = s.kind->decode(prefix, unit, &working().scratch, false, produced);
        if (rc == 0 && produced == prefix.size())
            std::memcpy(out, prefix.data() + at, n);
        else if (rc == 0)
            rc = -EIO;
    }
    if (rc == -EIO)
        report("decmpfs payload of cnid %u does not decode to %llu bytes\n", s.cnid,
               static_cast<unsigned long long>(s.size));
    return rc;
}

// Reads chunk i into `packed` and decodes it into dst (room dst_cap; with
// `exact`, the chunk's length exactly), with `scratch` as the decoders'
// working memory. 0; the error of the read or of the chunk table; or, with
// `bad` set, -ENOMEM or -EIO for a chunk that does not decode to exactly
// its bytes (not reported: that is the caller's).
int unpack_chunk(hfslib_vol* vol, hfs_decmp& s, uint32_t i, std::vector<uint8_t>& packed,
                 hfs_decmp_scratch& scratch, uint8_t* dst, size_t dst_cap, bool exact,
                 size_t& produced, bool& bad) {
    bad = false;
    produced = 0;
    hfs_decmp_chunk c{};
    if (int rc = chunk_entry(vol, s, i, c)) return rc;
    if (packed.size() < std::max<uint32_t>(c.length, 1))
        packed.resize(std::max<uint32_t>(c.length, 1));
    if (int rc = read_rsrc(vol, s, packed.data(), c.length, c.offset)) return rc;
    ++s.decodes;
    const int rc =
        unpack_unit(s.type, dst, dst_cap, packed.data(), c.length, &produced, &scratch, exact);
    if (rc != 0 || produced != chunk_bytes(s, i)) {
        bad = true;
        return rc == -ENOMEM ? -ENOMEM : -EIO;
    }
    return 0;
}

// Reads chunk i and decodes it into dst (room dst_cap; with `exact`, the
// chunk's length exactly), with this thread's working memory. 0, or the
// error of a chunk that cannot be read or does not decode to exactly its
// bytes.
int decode_chunk(hfslib_vol* vol, hfs_decmp& s, uint32_t i, uint8_t* dst, size_t dst_cap,
                 bool exact, size_t& produced) {
    bool bad = false;
    chunk_working& w = working();
    const int rc = unpack_chunk(vol, s, i, w.packed, w.scratch, dst, dst_cap, exact, produced, bad);
    if (bad) {
        report("decmpfs chunk %u of cnid %u does not decode to %llu bytes\n", i, s.cnid,
               static_cast<unsigned long long>(chunk_bytes(s, i)));
    }
    return rc;
}

// --- Decode-ahead -------------------------------------------------------------
//
// A read that starts where the previous read of the same open file ended
// (never the first read) is sequential. Before it copies chunk p, it tops up
// the file's window: chunks p + 1 .. p + ahead_slots - 1 that the window
// does not hold yet get a slot and a job in the decode pool. A reader takes
// a decoded chunk from its slot, waits for a chunk a worker is decoding, and
// decodes a chunk itself (as without the window: into its buffer or the
// one-chunk cache) when no worker has started it or the worker failed. A
// background failure is dropped without a message; the reader's own decode
// reports it.

// Slots of one file's window (a slot holds one decoded chunk): 1 MiB of
// 64 KiB chunks, eight 128 KiB reads of the kernel's.
constexpr size_t ahead_slots = 16;
// Bytes of slot buffers of all open files together; a file whose slot
// cannot have its buffer decodes ahead less, or not at all.
constexpr uint64_t ahead_budget = uint64_t{16} << 20;
std::atomic<uint64_t> ahead_reserved{0};

bool reserve_ahead(uint64_t bytes) {
    uint64_t now = ahead_reserved.load(std::memory_order_relaxed);
    do {
        if (now > ahead_budget || bytes > ahead_budget - now) return false;
    } while (!ahead_reserved.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
    return true;
}

void release_ahead(uint64_t bytes) {
    ahead_reserved.fetch_sub(bytes, std::memory_order_relaxed);
}

// Decode chunk `slot` of `window` if the slot still has the generation the
// job was queued with.
struct ahead_job {
    hfs_decmp_ahead* window;
    uint32_t slot;
    uint32_t generation;
};

void run_ahead_job(const ahead_job& job, std::vector<uint8_t>& packed, hfs_decmp_scratch& scratch);

// The workers that decode ahead, one set for the process: started at the
// first job, stopped and joined when the program ends (after every file has
// been closed: closing a file takes its jobs back).
class decode_pool {
public:
    static decode_pool& instance() {
        static decode_pool pool;
        return pool;
    }
    decode_pool(const decode_pool&) = delete;
    decode_pool& operator=(const decode_pool&) = delete;

    // Queues a job; false when it cannot be queued or no worker runs.
    bool submit(const ahead_job& job) {
        std::lock_guard held(lock_);
        if (workers_.empty()) start();
        if (workers_.empty()) return false;
        try {
            queue_.push_back(job);
        } catch (const std::bad_alloc&) {
            return false;
        }
        wake_.notify_one();
        return true;
    }

    // Takes the queued jobs of `window` back; how many.
    size_t cancel(const hfs_decmp_ahead* window) {
        std::lock_guard held(lock_);
        return std::erase_if(queue_, [&](const ahead_job& j) { return j.window == window; });
    }

private:
    decode_pool() = default;

    // Both cores of a small machine, no more than four. The workers take no
    // signals: those are the FUSE loop's.
    void start() {
        const unsigned cores = std::thread::hardware_concurrency();
        const unsigned count = std::clamp(cores, 1u, 4u);
        sigset_t all{};
        sigset_t old{};
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            workers_.reserve(count);
            for (unsigned i = 0; i < count; ++i)
                workers_.emplace_back([this](std::stop_token stop) { work(stop); });
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {}
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    void work(std::stop_token stop) {
        std::vector<uint8_t> packed;
        hfs_decmp_scratch scratch;
        for (;;) {
            ahead_job job{};
            {
                std::unique_lock held(lock_);
                if (!wake_.wait(held, stop, [&] { return !queue_.empty(); })) return;
                job = queue_.front();
                queue_.pop_front();
            }
            run_ahead_job(job, packed, scratch);
        }
    }

    std::mutex lock_; // guards queue_ and workers_
    std::condition_variable_any wake_;
    std::deque<ahead_job> queue_;
    std::vector<std::jthread> workers_; // last: joined before the rest goes
};

} // namespace

struct hfs_decmp_ahead {
    enum class phase : uint8_t { empty, queued, decoding, ready, failed };
    struct slot {
        phase state = phase::empty;
        uint32_t chunk = 0;
        // Changes whenever the slot is given up or given a chunk: a job of an
        // older generation finds nothing to do.
        uint32_t generation = 0;
        uint32_t readers = 0;           // copying out of buf without the lock
        std::unique_ptr<uint8_t[]> buf; // buffer_bytes(), from the first use
    };

    explicit hfs_decmp_ahead(hfs_decmp& owner) : file(owner) {}
    hfs_decmp_ahead(const hfs_decmp_ahead&) = delete;
    hfs_decmp_ahead& operator=(const hfs_decmp_ahead&) = delete;

    // Takes the queued jobs back and waits for the running ones.
    ~hfs_decmp_ahead() {
        std::unique_lock held(lock);
        closing = true;
        if (used_pool) pending -= static_cast<uint32_t>(decode_pool::instance().cancel(this));
        ++waiting;
        changed.wait(held, [&] { return pending == 0; });
        --waiting;
        for (slot& sl : slots) {
            if (sl.buf) release_ahead(buffer_bytes());
        }
    }

    uint64_t buffer_bytes() const { return std::min<uint64_t>(file.kind->chunk_size, file.size); }

    // Notes a read of [offset, offset + n); whether it is sequential: it
    // starts where one of the last reads (of any open of the file) ended.
    bool begin_read(uint64_t offset, uint64_t n) {
        std::lock_guard held(lock);
        auto it = std::ranges::find(next_read, offset);
        const bool sequential = it != next_read.end();
        if (!sequential) it = next_read.begin() + (oldest_read++ % next_read.size());
        *it = offset + n;
        return sequential;
    }

    // The slot holding (or about to hold) chunk c; null when none does.
    slot* find(uint32_t c) {
        for (slot& sl : slots) {
            if (sl.state != phase::empty && sl.chunk == c) return &sl;
        }
        return nullptr;
    }

    // Queues the chunks after `pos` (which a sequential reader is at) that
    // the window lacks, as far as free slots, the budget and the pool allow.
    void top_up(hfslib_vol* volume, uint32_t pos) {
        std::lock_guard held(lock);
        if (closing) return;
        vol = volume;
        const uint64_t last =
            std::min<uint64_t>(uint64_t{pos} + ahead_slots - 1, uint64_t{file.chunk_count} - 1);
        auto spare = [&](const slot& sl) {
            const bool wanted = sl.chunk >= pos && sl.chunk <= last;
            switch (sl.state) {
            case phase::empty:
                return true;
            case phase::queued:
                return !wanted;
            case phase::ready:
            case phase::failed:
                return !wanted && sl.readers == 0;
            case phase::decoding:
                return false;
            }
            return false;
        };
        // The queue is refilled once half the chunks ahead are gone, so that
        // a worker wakes for several jobs at a time.
        uint64_t held_ahead = 0;
        for (uint64_t c = uint64_t{pos} + 1; c <= last; ++c)
            held_ahead += find(static_cast<uint32_t>(c)) != nullptr;
        if (last > pos && held_ahead >= (ahead_slots - 1) / 2) return;
        for (uint64_t c = uint64_t{pos} + 1; c <= last; ++c) {
            if (find(static_cast<uint32_t>(c))) continue;
            slot* pick = nullptr;
            for (slot& sl : slots) {
                if (spare(sl) && (!pick || (sl.buf && !pick->buf))) pick = &sl;
            }
            if (!pick) break;
            if (!pick->buf) {
                if (!reserve_ahead(buffer_bytes())) break;
                try {
                    pick->buf = std::make_unique_for_overwrite<uint8_t[]>(buffer_bytes());
                } catch (const std::bad_alloc&) {
                    release_ahead(buffer_bytes());
                    break;
                }
            }
            pick->state = phase::queued;
            pick->chunk = static_cast<uint32_t>(c);
            ++pick->generation;
            const auto index = static_cast<uint32_t>(pick - slots.data());
            used_pool = true;
            if (!decode_pool::instance().submit({this, index, pick->generation})) {
                pick->state = phase::empty;
                ++pick->generation;
                break;
            }
            ++pending;
        }
        // At the last chunk nothing more comes: the idle buffers go back.
        if (last == pos) {
            for (slot& sl : slots) {
                if (sl.state == phase::empty && sl.buf) {
                    sl.buf.reset();
                    release_ahead(buffer_bytes());
                }
            }
        }
    }

    // Copies chunk c from byte `from` into dst (room bytes at most) when the
    // window has it decoded, waiting while a worker decodes it: the count
    // copied. -1 when the reader must decode it itself (not in the window,
    // not started - the job is then dropped - or failed). A sequential
    // reader that copied the chunk to its end gives its slot up.
    int64_t take(uint32_t c, uint64_t from, uint8_t* dst, uint64_t room, bool sequential) {
        std::unique_lock held(lock);
        for (;;) {
            slot* sl = find(c);
            if (!sl || sl->state == phase::failed) return -1;
            if (sl->state == phase::queued) {
                sl->state = phase::empty;
                ++sl->generation;
                return -1;
            }
            if (sl->state == phase::decoding) {
                const uint32_t generation = sl->generation;
                ++waiting;
                changed.wait(held, [&] {
                    return sl->generation != generation || sl->state != phase::decoding;
                });
                --waiting;
                continue;
            }
            const uint64_t len = chunk_bytes(file, c);
            const uint64_t n = from < len ? std::min(len - from, room) : 0;
            ++sl->readers;
            held.unlock();
            std::memcpy(dst, sl->buf.get() + from, n);
            held.lock();
            --sl->readers;
            if (sequential && from + n == len && sl->readers == 0) {
                sl->state = phase::empty;
                ++sl->generation;
            }
            return static_cast<int64_t>(n);
        }
    }

    hfs_decmp& file;
    // Guards everything below (the buffers of slots being decoded or copied
    // from excepted: those belong to their worker or readers). Taken last:
    // never held across a device read, a decode, or another lock but the
    // pool's.
    std::mutex lock;
    std::condition_variable changed; // a slot was decoded, failed, or a job ended
    uint32_t waiting = 0;            // threads waiting on `changed`
    hfslib_vol* vol = nullptr;       // of the reads, for the jobs
    std::array<slot, ahead_slots> slots;
    // Where a sequential read starts: the ends of the last reads of the file
    // (its opens share it), the oldest replaced first.
    std::array<uint64_t, 4> next_read{UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX};
    uint32_t oldest_read = 0;
    uint32_t pending = 0; // jobs queued or running
    bool closing = false;
    bool used_pool = false;
};

void hfs_decmp_ahead_deleter::operator()(hfs_decmp_ahead* ahead) const noexcept {
    std::unique_ptr<hfs_decmp_ahead> owned(ahead);
}

namespace {

// A background decode of one chunk into its slot. A failure is dropped
// without a message: the reader decodes that chunk itself and reports it.
void run_ahead_job(const ahead_job& job, std::vector<uint8_t>& packed, hfs_decmp_scratch& scratch) {
    using phase = hfs_decmp_ahead::phase;
    hfs_decmp_ahead& w = *job.window;
    hfs_decmp_ahead::slot& sl = w.slots[job.slot];
    uint32_t c = 0;
    hfslib_vol* vol = nullptr;
    uint8_t* dst = nullptr;
    {
        std::lock_guard held(w.lock);
        if (w.closing || sl.generation != job.generation || sl.state != phase::queued) {
            --w.pending;
            if (w.waiting) w.changed.notify_all();
            return;
        }
        sl.state = phase::decoding;
        c = sl.chunk;
        vol = w.vol;
        dst = sl.buf.get();
    }
    int rc = 0;
    try {
        size_t produced = 0;
        bool bad = false;
        rc = unpack_chunk(vol, w.file, c, packed, scratch, dst, chunk_bytes(w.file, c), true,
                          produced, bad);
    } catch (const std::bad_alloc&) {
        rc = -ENOMEM;
    }
    std::lock_guard held(w.lock);
    sl.state = rc == 0 ? phase::ready : phase::failed;
    --w.pending;
    if (w.waiting) w.changed.notify_all();
}

// Decodes chunk i into the cache; the caller holds the write lock. When
// the budget has no room for the cache, the chunk is decoded into this
// thread's buffer instead, and `from` points at it (else at the cache).
int refill(hfslib_vol* vol, hfs_decmp& s, uint32_t i, const uint8_t*& from, uint64_t& len) {
    s.cache_valid = false;
    const uint64_t room = std::min<uint64_t>(s.size, s.kind->chunk_size);
    if (!s.buf && !s.cache_refused) {
        if (s.buf_charge.take(hfs_file_cache_budget, room + 1)) {
            s.buf_len = room;
            s.buf = std::make_unique_for_overwrite<uint8_t[]>(s.buf_len + 1);
        } else {
            s.cache_refused = true;
        }
    }
    uint8_t* dst = s.buf.get();
    if (!dst) {
        std::vector<uint8_t>& spare = working().chunk;
        spare.resize(room + 1);
        dst = spare.data();
    }
    size_t produced = 0;
    if (int rc = decode_chunk(vol, s, i, dst, room + 1, false, produced)) return rc;
    from = dst;
    len = produced;
    if (s.buf) {
        s.cached_chunk = i;
        s.cached_len = produced;
        s.cache_valid = true;
    }
    return 0;
}

int read_chunked(hfslib_vol* vol, hfs_decmp& s, uint8_t* out, uint64_t offset, uint64_t n) {
    const uint64_t count = s.chunk_count;
    const uint32_t chunk_size = s.kind->chunk_size;
    const uint64_t first = std::min(offset / chunk_size, count);
    const uint64_t last_byte = offset + n - 1; // n > 0 and offset + n <= size
    const uint64_t end = std::min(last_byte / chunk_size + 1, count);
    if (first >= end) return 0;

    const bool sequential = s.ahead && s.ahead->begin_read(offset, n);
    uint64_t copied = 0;
    for (uint64_t i = first; i < end && copied < n; ++i) {
        const auto chunk = static_cast<uint32_t>(i);
        const uint64_t from = i == first ? offset % chunk_size : 0;
        if (s.ahead) {
            if (sequential) s.ahead->top_up(vol, chunk);
            const int64_t got = s.ahead->take(chunk, from, out + copied, n - copied, sequential);
            if (got >= 0) {
                copied += static_cast<uint64_t>(got);
                continue;
            }
        }
        auto copy_out = [&](const uint8_t* decoded, uint64_t len) {
            const uint64_t avail = len > from ? len - from : 0;
            const uint64_t take = std::min(avail, n - copied);
            std::memcpy(out + copied, decoded + from, take);
            copied += take;
        };
        {
            std::shared_lock reader(s.lock);
            if (s.cache_valid && s.cached_chunk == chunk) {
                copy_out(s.buf.get(), s.cached_len);
                continue;
            }
        }
        std::unique_lock writer(s.lock);
        if (s.cache_valid && s.cached_chunk == chunk) {
            copy_out(s.buf.get(), s.cached_len);
            continue;
        }
        // A chunk the read wants whole is decoded straight into the
        // caller's buffer, which holds exactly its bytes; the cached chunk
        // stays as it was (a failure forgets it, as a refill would).
        const uint64_t whole = chunk_bytes(s, i);
        if (from == 0 && n - copied >= whole) {
            size_t produced = 0;
            if (int rc = decode_chunk(vol, s, chunk, out + copied, whole, true, produced)) {
                s.cache_valid = false;
                return rc;
            }
            copied += produced;
            continue;
        }
        const uint8_t* decoded = nullptr;
        uint64_t len = 0;
        if (int rc = refill(vol, s, chunk, decoded, len)) return rc;
        copy_out(decoded, len);
    }
    return static_cast<int>(copied);
}

int open_state(hfslib_vol* vol, uint32_t cnid, uint32_t attr_len, const uint8_t* attr_data,
               const std::span<const hfslib_extent>* rsrc, hfs_decmp_ptr& out) {
    out.reset();
    if (!attr_data || attr_len < header_size) return -EINVAL;
    const std::span<const uint8_t> attr(attr_data, attr_len);
    const hfs_decmp_kind* kind = hfs_decmp_kind_of(attr[4]);
    if (load_le32(attr) != decmpfs_magic || !kind) return -EINVAL;
    try {
        hfs_decmp_ptr s(std::make_unique<hfs_decmp>().release());
        s->type = attr[4];
        s->kind = kind;
        s->size = load_le64(attr, 8);
        s->cnid = cnid;
        int rc = 0;
        if (kind->home == attribute) {
            rc = open_inline(*s, attr.subspan(header_size));
        } else if (kind->home == resource_fork && s->size > 0) {
            if (!vol) return -EINVAL;
            if (rsrc) {
                s->rsrc_extents.assign(rsrc->begin(), rsrc->end());
            } else {
                hfslib_extent* list = nullptr;
                const uint16_t count =
                    hfslib_collect_fork_extents(vol, cnid, HFSLIB_RSRC_FORK, &list, nullptr);
                hfslib::hook_ptr<hfslib_extent[]> owned(list, hfslib::hook_deleter{nullptr});
                if (count > 0 && list) s->rsrc_extents.assign(list, list + count);
            }
            if (s->rsrc_extents.empty() || s->rsrc_extents.size() > UINT16_MAX) {
                report("no resource fork for compressed cnid %u\n", cnid);
                return -EIO;
            }
            s->rsrc_extent_count = static_cast<uint16_t>(s->rsrc_extents.size());
            rc = open_chunked(vol, *s);
        }
        if (rc != 0) return rc;
        out = std::move(s);
        return 0;
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    } catch (const std::system_error& e) {
        return e.code().value() > 0 ? -e.code().value() : -EIO;
    }
}

} // namespace

const hfs_decmp_kind* hfs_decmp_kind_of(uint8_t type) {
    const auto row = std::ranges::find(kinds, type, &hfs_decmp_kind::type);
    return row != kinds.end() ? &*row : nullptr;
}

uint32_t hfs_decmp_chunk_size(uint8_t type) {
    if (const hfs_decmp_kind* kind = hfs_decmp_kind_of(type)) return kind->chunk_size;
    // Numbered as every known type is: even types chunked, odd ones whole.
    return type % 2 == 0 ? chunk_64k : 0;
}

void* hfs_decmp_scratch::lzfse() noexcept {
    if (!lzfse_) {
        try {
            lzfse_ = std::make_unique_for_overwrite<uint64_t[]>(
                lzfse_decode_scratch_size() / sizeof(uint64_t) + 1);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return lzfse_.get();
}

int hfs_decmp_unpack(uint8_t type, uint8_t* dst, size_t dst_cap, const uint8_t* src, size_t src_len,
                     size_t* out_len, hfs_decmp_scratch* scratch) {
    return unpack_unit(type, dst, dst_cap, src, src_len, out_len, scratch, false);
}

namespace {

int unpack_unit(uint8_t type, uint8_t* dst, size_t dst_cap, const uint8_t* src, size_t src_len,
                size_t* out_len, hfs_decmp_scratch* scratch, bool exact) {
    if (out_len) *out_len = 0;
    const hfs_decmp_kind* kind = hfs_decmp_kind_of(type);
    if (!kind || !kind->decode) {
        report("invalid decmpfs type %u\n", unsigned{type});
        return -EINVAL;
    }
    // An empty unit has no first byte to tell how it is stored.
    if (!dst || !src || !out_len || src_len == 0) return -EIO;
    if (src[0] == kind->stored_marker) {
        // Refused rather than cut: the unit does not fit what it stands for.
        if (src_len - 1 > dst_cap) return -EIO;
        std::memcpy(dst, src + 1, src_len - 1);
        *out_len = src_len - 1;
        return 0;
    }
    return kind->decode({dst, dst_cap}, {src, src_len}, scratch, exact, *out_len);
}

} // namespace

namespace {

// The attribute lookup says only that it found nothing: -ENODATA when the
// file has no decmpfs attribute, -EIO when its attributes cannot be read (a
// compressed file must not pass for an empty one).
int missing_or_unreadable(hfslib_vol* vol, uint32_t cnid) {
    hfslib_attr_key* raw = nullptr;
    uint32_t count = 0;
    const int listed = hfslib_list_attr_keys(vol, cnid, &raw, &count, nullptr);
    hfslib::hook_ptr<hfslib_attr_key[]> keys(raw, hfslib::hook_deleter{nullptr});
    if (listed != 0) return -EIO;
    for (uint32_t i = 0; i < count; ++i) {
        const hfslib_uname& name = keys[i].name;
        if (name.length == attribute_name.size() &&
            std::equal(attribute_name.begin(), attribute_name.end(), name.units))
            return -EIO;
    }
    return -ENODATA;
}

} // namespace

int hfs_decmp_probe(hfslib_vol* vol, const hfslib_cat_rec* rec, hfs_decmp_info* out,
                    uint32_t* attr_len, uint8_t** attr_data) {
    if (attr_data) *attr_data = nullptr;
    if (attr_len) *attr_len = 0;
    if (!vol || !rec || !out) return -EINVAL;
    if (rec->type != HFSLIB_REC_FILE) return -ENODATA;
    if (!(rec->file.perms.owner_flags & compressed_flag)) return -ENODATA;
    if (rec->file.data_fork.logical_size != 0) return -ENODATA;

    hfslib_attr_key key{};
    std::array<uint16_t, attribute_name.size()> name{};
    std::copy(attribute_name.begin(), attribute_name.end(), name.begin());
    if (hfslib_build_attr_key(rec->file.cnid, 0, name.size(), name.data(), &key) == 0)
        return -ENODATA;
    hfslib_attr_rec attr{};
    uint8_t* raw = nullptr;
    if (hfslib_lookup_attr(vol, &key, &attr, &raw, nullptr) != 0) {
        hfslib_hook_free(raw, nullptr);
        return missing_or_unreadable(vol, rec->file.cnid);
    }
    hfslib::hook_ptr<uint8_t[]> copy(raw, hfslib::hook_deleter{nullptr});
    if (attr.type != HFSLIB_ATTR_INLINE || !copy || attr.inline_data.size < header_size)
        return -EINVAL;
    const std::span<const uint8_t> value(copy.get(), attr.inline_data.size);
    if (load_le32(value) != decmpfs_magic) return -EINVAL;

    out->type = value[4];
    out->size = load_le64(value, 8);
    if (!hfs_decmp_kind_of(out->type)) {
        report("unsupported decmpfs type %u for cnid %u\n", unsigned{out->type}, rec->file.cnid);
        return -EOPNOTSUPP;
    }
    if (attr_data) {
        // Handed out from the C allocator whatever the library's hooks are.
        auto* data = static_cast<uint8_t*>(std::malloc(attr.inline_data.size));
        if (!data) return -ENOMEM;
        std::memcpy(data, copy.get(), attr.inline_data.size);
        *attr_data = data;
    }
    if (attr_len) *attr_len = attr.inline_data.size;
    return 0;
}

int hfs_decmp_open(hfslib_vol* vol, uint32_t cnid, uint32_t attr_len, const uint8_t* attr_data,
                   hfs_decmp_ptr& out) {
    return open_state(vol, cnid, attr_len, attr_data, nullptr, out);
}

int hfs_decmp_open_extents(hfslib_vol* vol, uint32_t cnid, uint32_t attr_len,
                           const uint8_t* attr_data, std::span<const hfslib_extent> rsrc,
                           hfs_decmp_ptr& out) {
    return open_state(vol, cnid, attr_len, attr_data, &rsrc, out);
}

int hfs_decmp_read(hfslib_vol* vol, hfs_decmp* state, uint8_t* buf, size_t len, int64_t offset) {
    if (offset < 0 || !state || (!buf && len > 0)) return -EINVAL;
    hfs_decmp& s = *state;
    const auto at = static_cast<uint64_t>(offset);
    // The bytes this call may return: within the file, and countable in the
    // result.
    uint64_t n = 0;
    if (s.kind->home != attribute) {
        if (at >= s.size) return 0;
        n = std::min<uint64_t>(len, s.size - at);
    } else {
        if (at >= s.size) return 0;
        n = std::min<uint64_t>(len, s.size - at);
    }
    n = std::min<uint64_t>(n, INT_MAX);
    if (n == 0) return 0;

    if (s.kind->home == nowhere) {
        std::memset(buf, 0, n);
        return static_cast<int>(n);
    }
    try {
        if (s.kind->home == attribute) {
            if (!s.buf) {
                if (int rc = read_inline_uncached(s, buf, at, n)) return rc;
            } else {
                std::memcpy(buf, s.buf.get() + at, n);
            }
            return static_cast<int>(n);
        }
        return read_chunked(vol, s, buf, at, n);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    } catch (const std::system_error& e) {
        return e.code().value() > 0 ? -e.code().value() : -EIO;
    }
}

void hfs_decmp_close(hfs_decmp* state) {
    std::unique_ptr<hfs_decmp> owned(state);
}

std::shared_ptr<hfs_decmp> hfs_live_files::find(uint32_t cnid) const {
    std::lock_guard guard(lock_);
    auto it = live_.find(cnid);
    return it == live_.end() ? nullptr : it->second.lock();
}

std::shared_ptr<hfs_decmp> hfs_live_files::add(std::shared_ptr<hfs_decmp> state) {
    std::lock_guard guard(lock_);
    std::weak_ptr<hfs_decmp>& slot = live_[state->cnid];
    if (std::shared_ptr<hfs_decmp> earlier = slot.lock()) return earlier;
    slot = state;
    // Files no longer open are forgotten as new ones come, the map swept
    // each time it has doubled.
    if (live_.size() >= sweep_at_) {
        std::erase_if(live_, [](const auto& item) { return item.second.expired(); });
        sweep_at_ = std::max<size_t>(64, 2 * live_.size());
    }
    return state;
}

int hfs_decmp_open_shared(hfslib_vol* vol, uint32_t cnid, uint32_t attr_len,
                          const uint8_t* attr_data, std::shared_ptr<hfs_decmp>& out) {
    hfs_device* dev = hfs_get_device(vol);
    if (dev && (out = dev->live_files.find(cnid))) return 0;
    std::unique_lock<std::mutex> making;
    if (dev) {
        making = std::unique_lock(dev->live_files.making);
        if ((out = dev->live_files.find(cnid))) return 0;
    }
    hfs_decmp_ptr made;
    if (int err = hfs_decmp_open(vol, cnid, attr_len, attr_data, made)) return err;
    try {
        out = std::shared_ptr<hfs_decmp>(std::move(made));
        if (dev) out = dev->live_files.add(out);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    return 0;
}
