/* quor-demo: initialises the library in this process, shows what it did and
 * cleans up again. */
#include <quor/quor.h>

#include <stdio.h>

static uint32_t show(const char *what, uint32_t rc) {
    char text[QUOR_PRINTRC_BUFFER_SIZE];
    quorPrintrc(rc, text);
    printf("%-44s -> %s\n", what, text);
    return rc;
}

int main(void) {
    show("initialise (wrong latch key)", QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, 0));
    if (show("initialise", QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER)) != QUOR_RC_OK) {
        return 1;
    }
    show("initialise again (second user)", QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER));
    show("clean up (mode 3 is not a mode)", QUORCleanup(3));
    show("clean up, one user left", QUORCleanup(QUOR_CLEANUP_RELEASE));
    show("clean up, last user", QUORCleanup(QUOR_CLEANUP_RELEASE));
    show("clean up once more", QUORCleanup(QUOR_CLEANUP_RELEASE));
    return 0;
}
