/* quor-demo: initialises the library in this process, shows what it did and
 * cleans up again; then shares a status tree between a creator and two
 * attaching processes. */
#define _POSIX_C_SOURCE 200809L
#include <quor/quor.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static uint32_t show(const char *what, uint32_t rc) {
    char text[QUOR_PRINTRC_BUFFER_SIZE];
    quorPrintrc(rc, text);
    printf("%-44s -> %s\n", what, text);
    return rc;
}

#define TOP_TAG 0x2a
#define TOP_ID "plant/line-1"

/* What an attaching process does: connect to the tree, read the top node, follow
 * the locator the creator stored in the segment, detach. */
static int attacher(const char *who, const IpcResId *name, uint64_t locatorOffset) {
    ShmSegInfo_t *seg = NULL;
    SNodeCB_t *top = NULL, *viaLocator = NULL;
    TopNodeInfo info;
    uint64_t tag = 0, idLength = 0;
    char *id = NULL;
    printf("[%s] started\n", who);
    show("  initialise", QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER));
    if (show("  connect to the tree", quorConnectToATree(&seg, &top, &info, name, NULL, NULL, NULL)) != 0) {
        QUORCleanup(QUOR_CLEANUP_FORCE);
        return 1;
    }
    show("  read the top node's tag", quorGetNodeTag(top, &tag, 0));
    show("  read the top node's ID", quorGetNodeID(top, &id, &idLength, 0));
    printf("  top node: tag 0x%llx, ID \"%.*s\", recorded tag 0x%llx\n", (unsigned long long)tag, (int)idLength,
           id, (unsigned long long)info.topNodeTag);
    {
        SNodeInfo_t *locator = (SNodeInfo_t *)((unsigned char *)seg->domainHandle->base + locatorOffset);
        show("  follow the stored locator", quorAttachToNode(locator, &viaLocator));
        printf("  the locator names the top node: %s\n", viaLocator == top ? "yes" : "no");
    }
    show("  detach", quorDetachStatusSegment(&seg, QUOR_DETACH_RELEASE));
    show("  clean up", QUORCleanup(QUOR_CLEANUP_RELEASE));
    return 0;
}

/* Runs an attacher as a new program (a fresh process image, as an unrelated
 * process of the host product would be); returns its exit status. */
static int runChild(const char *who, const IpcResId *name, uint64_t locatorOffset) {
    int status = 0;
    pid_t child;
    char offset[32];
    snprintf(offset, sizeof offset, "%llu", (unsigned long long)locatorOffset);
    fflush(stdout);
    child = fork();
    if (child == 0) {
        execl("/proc/self/exe", "quor-demo", "--attach", who, name->name, offset, (char *)NULL);
        _exit(127);
    }
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static int shareATree(void) {
    IpcResId name;
    ShmSegInfo_t *seg = NULL, *again = NULL;
    SNodeCB_t *top = NULL;
    SNodeInfo_t locator, *stored = NULL;
    uint64_t sizes[QUOR_MAX_SPACE_ARRAY_SIZE], total = 0, offset = 0, locatorOffset = 0;
    void *block = NULL;
    int failures = 0;

    memset(&name, 0, sizeof name);
    snprintf(name.name, sizeof name.name, "quor-demo-%d", (int)getpid());
    printf("\n[creator] building a status tree\n");
    show("  initialise", QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER));
    if (show("  create the status segment (1 MiB)",
             quorGetProtectedStatusSegment(&seg, 1u << 20, &name, NULL, 0, NULL, NULL)) != 0) {
        return 1;
    }
    show("  size a node with an ID area",
         quorCreateMaxSpaceArray(QUOR_KIND_ID, 0, 0, 0, 0, 0, 32, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, sizes,
                                 &total));
    show("  create the top node in the tree pool", quorCreateNode(seg, &top, QUOR_KIND_ID, sizes, &total, &offset));
    show("  initialise it", quorInitNode(&top, offset, strlen(TOP_ID), TOP_ID, NULL, NULL, 32, NULL, NULL, NULL));
    show("  tag it", quorSetNodeTag(top, TOP_TAG, 0));
    show("  activate it", quorActivateNode(&top));
    show("  record it in the domain header",
         quorPutTopNodeInfoIntoDomainHeader(seg->domainHandle, TOP_TAG, offset, seg->poolHandle->poolHeapOffset));
    show("  build a locator of the top node", quorAddStatusNodeInfo(&locator, seg, seg, offset, TOP_TAG, 0, NULL));
    show("  store it in a block of the tree pool",
         _quorAllocateShmBlock(&block, seg->poolHandle, sizeof locator, 0, 0, __LINE__, "demo"));
    stored = (SNodeInfo_t *)block;
    locatorOffset = (uint64_t)((unsigned char *)block - (unsigned char *)seg->domainHandle->base);
    *stored = locator;
    stored->selfDisplacement = locatorOffset; /* readable wherever the segment is mapped */
    stored->segBase = 0;
    {
        SNodeCB_t *back = NULL;
        show("  the stored locator resolves here", quorGetControlBlockPtrFromSNodeInfo(stored, &back));
    }

    failures += runChild("attacher 1", &name, locatorOffset) != 0;
    failures += runChild("attacher 2", &name, locatorOffset) != 0;

    printf("[creator] retiring the tree\n");
    show("  mark the segment for deletion", quorMarkStatusSegmentForDeletion(seg));
    show("  attach once more (refused)", quorAttachStatusSegment(&again, &name, NULL, 0, 0, NULL, NULL));
    failures += runChild("late attacher", &name, locatorOffset) == 0;
    show("  delete the segment", quorDeleteStatusSegment(&seg, QUOR_POOL_FREE_NORMAL, QUOR_DELETE_POOL_AS_GIVEN,
                                                         QUOR_DETACH_RELEASE));
    show("  clean up", QUORCleanup(QUOR_CLEANUP_RELEASE));
    printf("%s\n", failures == 0 ? "status tree shared as expected" : "status tree demo FAILED");
    return failures == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "--attach") == 0) {
        IpcResId name;
        memset(&name, 0, sizeof name);
        snprintf(name.name, sizeof name.name, "%s", argv[3]);
        return attacher(argv[2], &name, strtoull(argv[4], NULL, 10));
    }
    show("initialise (wrong latch key)", QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, 0));
    if (show("initialise", QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER)) != QUOR_RC_OK) {
        return 1;
    }
    show("initialise again (second user)", QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER));
    show("clean up (mode 3 is not a mode)", QUORCleanup(3));
    show("clean up, one user left", QUORCleanup(QUOR_CLEANUP_RELEASE));
    show("clean up, last user", QUORCleanup(QUOR_CLEANUP_RELEASE));
    show("clean up once more", QUORCleanup(QUOR_CLEANUP_RELEASE));
    return shareATree();
}
