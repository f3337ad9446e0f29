// The installed hooks, their wrappers, the reporter and the special keys.
#include "libhfs/libhfs.h"

#include <cstring>

namespace {

hfslib_hooks installed_hooks{};

// Builds a key of the root folder (parent CNID 2) from ASCII-range units.
void build_special_key(hfslib_cat_key& key, const char16_t* units, uint16_t count) {
    key = {};
    key.parent_cnid = 2;
    key.name.length = count;
    for (uint16_t i = 0; i < count; ++i) key.name.units[i] = units[i];
    key.key_len = static_cast<uint16_t>(6 + 2 * count);
}

} // namespace

hfslib_cat_key hfslib_key_file_links;
hfslib_cat_key hfslib_key_jinfo_file;
hfslib_cat_key hfslib_key_journal_file;
hfslib_cat_key hfslib_key_dir_links;
const hfslib_cat_key* const hfslib_special_keys[5] = {
    &hfslib_key_file_links, &hfslib_key_jinfo_file, &hfslib_key_journal_file, &hfslib_key_dir_links,
    nullptr};

void hfslib_setup(const hfslib_hooks* hooks) {
    installed_hooks = {};
    if (hooks) installed_hooks = *hooks;

    static constexpr char16_t file_links[] = u"\0\0\0\0HFS+ Private Data";
    static constexpr char16_t jinfo[] = u".journal_info_block";
    static constexpr char16_t journal[] = u".journal";
    static constexpr char16_t dir_links[] = u".HFS+ Private Directory Data\r";
    build_special_key(hfslib_key_file_links, file_links, 21);
    build_special_key(hfslib_key_jinfo_file, jinfo, 19);
    build_special_key(hfslib_key_journal_file, journal, 8);
    build_special_key(hfslib_key_dir_links, dir_links, 29);
}

void hfslib_teardown() {}

void hfslib_set_err_hook(hfslib_err_fn hook) {
    installed_hooks.err_hook = hook;
}

void hfslib_report(const char* format, const char* file, int line, ...) {
    if (!format || !installed_hooks.err_hook) return;
    va_list args;
    va_start(args, line);
    installed_hooks.err_hook(format, file, line, args);
    va_end(args);
}

void hfslib_clear_cbctx(hfslib_cbctx* ctx) {
    if (ctx) *ctx = {};
}

void* hfslib_hook_alloc(size_t size, hfslib_cbctx* ctx) {
    return installed_hooks.alloc_hook ? installed_hooks.alloc_hook(size, ctx) : nullptr;
}

void* hfslib_hook_realloc(void* block, size_t size, hfslib_cbctx* ctx) {
    return installed_hooks.realloc_hook ? installed_hooks.realloc_hook(block, size, ctx) : nullptr;
}

void hfslib_hook_free(void* block, hfslib_cbctx* ctx) {
    if (block && installed_hooks.free_hook) installed_hooks.free_hook(block, ctx);
}

int hfslib_hook_open(hfslib_vol* vol, const char* path, hfslib_cbctx* ctx) {
    if (!path || !installed_hooks.open_hook) return 1;
    return installed_hooks.open_hook(vol, path, ctx);
}

void hfslib_hook_close(hfslib_vol* vol, hfslib_cbctx* ctx) {
    if (installed_hooks.close_hook) installed_hooks.close_hook(vol, ctx);
}

int hfslib_hook_read(hfslib_vol* vol, void* buf, uint64_t size, uint64_t offset,
                     hfslib_cbctx* ctx) {
    if (!vol || !buf || !installed_hooks.read_hook) return -1;
    return installed_hooks.read_hook(vol, buf, size, offset, ctx);
}
