/* Built outside the tree against the installed library, in plain C. */
#include <aura.h>
#include <aura_errors.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    if (strcmp(AURA_ErrorString(AURA_ERR_FILE_NOTFOUND), "File not found. ") != 0) {
        fprintf(stderr, "unexpected message: %s\n", AURA_ErrorString(AURA_ERR_FILE_NOTFOUND));
        return 1;
    }
    if (strcmp(AURA_ErrorString((AURA_RESULT)98), "Unknown error.") != 0) {
        return 1;
    }
    printf("C consumer: %s\n", AURA_ErrorString(AURA_OK));
    return 0;
}
