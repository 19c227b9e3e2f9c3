#include "afs/AfsPhysical.h"

#include "afs/AfsFtl.h"

const AfsPhysicalHandler afs_physical_spi_handler = {
    afs_physical_ftl_read_page,         afs_physical_ftl_write_page,
    afs_physical_ftl_trim_page,         afs_physical_ftl_force_full_reclaim,
    afs_physical_ftl_force_dirty_erase,
};

uint8_t afs_physical_context[20] = {};
