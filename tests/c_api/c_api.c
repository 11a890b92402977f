/* A C11 program against the public header: proves the header is valid C and that
 * the library links and runs from C. */
#include <quor/quor.h>

#include <stdio.h>
#include <string.h>

static int failures;

static void expect(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "c_api: %s\n", what);
        ++failures;
    }
}

int main(void) {
    char text[QUOR_PRINTRC_BUFFER_SIZE];
    expect(sizeof(IpcResId) == 272, "IpcResId is 272 bytes");
    expect(sizeof(ShmSegInfo_t) == 328, "ShmSegInfo_t is 328 bytes");
    expect(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER) == QUOR_RC_OK, "initialise");
    expect(quorPrintrc(QUOR_RC_NULL_PARAMETER, text) == QUOR_RC_OK, "print a code");
    expect(strstr(text, "QUOR_RC_NULL_PARAMETER") != NULL, "text names the code");
    expect(QUORCleanup(QUOR_CLEANUP_RELEASE) == QUOR_RC_OK, "clean up");
    expect(QUORCleanup(QUOR_CLEANUP_RELEASE) == QUOR_RC_LIBRARY_NOT_INITIALIZED, "second clean-up refused");
    if (failures == 0) puts("c_api: ok");
    return failures == 0 ? 0 : 1;
}
