/* A host built against the installed package: the header compiles as C, the import library links,
 * and the DLL loads and answers. Without a FilterInit there is no client to stop. */
#include <stdio.h>

#include <varnokclient.h>

int main(void) {
    const long result = ClientDisconnect();
    if (result != (long)0x80004003L) {
        printf("ClientDisconnect without FilterInit returned 0x%08lX, not E_POINTER\n", (unsigned long)result);
        return 1;
    }
    printf("ClientDisconnect without FilterInit: E_POINTER\n");
    return 0;
}
