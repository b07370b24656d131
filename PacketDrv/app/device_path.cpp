#include "nvxpush.h"

#include <cctype>
#include <cstring>

char *device_path(char *device)
{
    static char buff[BUFF_SIZE];

    // Bounded copy: a name that does not fit is cut, never written past the buffer.
    size_t n = strnlen(device, sizeof buff - 1);
    memcpy(buff, device, n);
    buff[n] = '\0';

    // The instance number of the device (hme0 -> hme); the first character always stays.
    for (size_t i = n; i > 1 && isdigit(static_cast<unsigned char>(buff[i - 1])); --i)
        buff[i - 1] = '\0';
    return buff;
}
