#include "interface/kamfs_session.h"

#include "efs/EFS.h"
#include "interface/dfs.h"
#include "interface/kamfs_report.h"

namespace {

constexpr FcsTable kNeverReset = {nullptr, kFcsNoTable, 0, nullptr, 0, nullptr, nullptr};

StorageSession s_session;

}  // namespace

StorageSession &storageSession() {
    return s_session;
}

std::vector<uint8_t> &s_fileTableBuffer = s_session.fileTableBuffer;
uint32_t &s_quorAfsSkuId = s_session.skuId;
bool &s_quorLoadFileTable = s_session.fileTableToSelect;
FcsTable &s_ostraCfgTable = s_session.vendor;
FcsTable &s_tavCfgTable = s_session.tool;
FcsTable &s_currentValuesTable = s_session.current;
FcsTable &s_builtTavCfgTable = s_session.built;
bool &s_fcsInitialized = s_session.fcsReady;
bool &s_mfsInitialized = s_session.afsMounted;

StorageSession::StorageSession()
    : vendor(kNeverReset), tool(kNeverReset), current(kNeverReset), built(kNeverReset) {}

StorageSession::~StorageSession() {
    releaseTables(Built::kRelease);
}

bool StorageSession::release(Built keepBuilt, Efs efs, OnUnmountFailure onFailure) {
    if (!unmountAfs() && onFailure == OnUnmountFailure::kStopHere) {
        return false;
    }
    releaseTables(keepBuilt);
    fcsReady = false;
    if (efs == Efs::kDetach) {
        detachEfs();
    }
    return true;
}

bool StorageSession::promoteBuiltTable() {
    kaMfsFreeFcsTable(&current);
    kaMfsFreeFcsTable(&tool);
    kaMfsMoveFcsTableContent(&tool, &built);
    if (built.handle != nullptr) {
        closeHandle(&built.handle);
    }
    built.handle = nullptr;
    tool.handle = nullptr;
    return kaMfsGenerateFcsCurrentsTable();
}

bool StorageSession::unmountAfs() {
    if (!afsMounted) {
        return true;
    }
    afsMounted = false;
    const uint32_t status = dfs_terminate();
    if (status != QUOR_DFS_OK) {
        setLibError(TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY, static_cast<int32_t>(status));
        return false;
    }
    return true;
}

// The EFS mount points at a region the tool may free once the storage is
// closed; kept, a later storage without an EFS region (and any DFS request for
// an EFS file) would read that region through it. Forgetting the image as
// well makes the EFS entry points answer "no image" instead of touching it.
void StorageSession::detachEfs() {
    efs_ctx.mounted = 0;
    efs_image = nullptr;
}

void StorageSession::releaseTables(Built keepBuilt) {
    if (keepBuilt == Built::kRelease) {
        kaMfsFreeFcsTable(&built);
    }
    kaMfsFreeFcsTable(&tool);
    kaMfsFreeFcsTable(&vendor);
    kaMfsFreeFcsTable(&current);
}
