#include "nvxpush.h"

#include "nvx_user.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int find_major(const char *name, int *major)
{
    // The file lives under the host's root; messages name it by its platform path.
    FILE *fp = fopen(nvx_platform_path(NAME_TO_MAJOR_PATH), "r");
    if (!fp) {
        perror(NAME_TO_MAJOR_PATH);
        return NVXPUSH_FAILED;
    }

    char line[LINE_SIZE];
    size_t len = strlen(name);
    bool at_line_start = true; // the piece fgets reads next begins a line
    bool found = false;
    while (fgets(line, sizeof line, fp)) {
        bool starts_line = at_line_start;
        size_t got = strlen(line);
        at_line_start = got > 0 && line[got - 1] == '\n';
        // line[len] is within the piece whenever the first len characters equal the name.
        if (starts_line && strncmp(line, name, len) == 0 &&
            isspace(static_cast<unsigned char>(line[len]))) {
            found = true;
            break;
        }
    }
    fclose(fp);

    if (!found) {
        fprintf(stderr, "%s not found in %s\n", name, NAME_TO_MAJOR_PATH);
        return NVXPUSH_FAILED;
    }

    // strtoll skips the white space after the name (the newline too, so a line with the name
    // alone has no number).
    const char *number = line + len;
    char *end = nullptr;
    errno = 0;
    long long value = strtoll(number, &end, 10);
    if (end == number || errno == ERANGE || value <= 0 || value > INT_MAX) {
        fprintf(stderr, "Major for '%s' in line '%s' invalid\n", name, line);
        return NVXPUSH_FAILED;
    }
    *major = static_cast<int>(value);
    return NVXPUSH_OK;
}
