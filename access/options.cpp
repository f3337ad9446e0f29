#include "access/options.h"

void init_options(hfs_options* options) {
    options->cache_size = HFS_DEFAULT_CACHE_SIZE;
    options->blksize = 0;
    options->ublio_items = HFS_DEFAULT_UBLIO_ITEMS;
    options->ublio_grace = HFS_DEFAULT_UBLIO_GRACE;
    options->default_file_mode = HFS_DEFAULT_FILE_MODE;
    options->default_dir_mode = HFS_DEFAULT_DIR_MODE;
    options->default_uid = 0;
    options->default_gid = 0;
    options->image_cache = HFS_DEFAULT_IMAGE_CACHE;
}
