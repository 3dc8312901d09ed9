/* The test framebuffer's view of struct stat as a 32-bit build with 64-bit
 * offsets and time has it (__fstat64_time64's buffer); on a 64-bit target,
 * the plain struct stat. */
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64
#include <sys/stat.h>

void test_fb_stat_time64_mark(void* buffer, mode_t mode, dev_t rdev);

void test_fb_stat_time64_mark(void* buffer, mode_t mode, dev_t rdev)
{
    struct stat* node = buffer;
    node->st_mode = mode;
    node->st_rdev = rdev;
}
