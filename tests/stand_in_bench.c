/* A stand-in for a benchmark program that misbehaves as STAND_IN says:
 *   hang      ignores SIGINT, SIGTERM and SIGHUP and sleeps for good
 *   segv      is killed by SIGSEGV
 *   exit139   exits with status 139, as a shell reports a SIGSEGV
 *   flood     prints 50 MB and exits 0
 * Its process id goes to the file STAND_IN_PID, when set. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
    const char* mode = getenv("STAND_IN");
    const char* pid_file = getenv("STAND_IN_PID");
    if (pid_file != NULL) {
        FILE* f = fopen(pid_file, "w");
        if (f == NULL || fprintf(f, "%d\n", (int)getpid()) < 0 || fclose(f) != 0)
            return 125;
    }
    if (mode == NULL)
        return 125;
    if (strcmp(mode, "hang") == 0) {
        signal(SIGINT, SIG_IGN);
        signal(SIGTERM, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        for (;;)
            pause();
    }
    if (strcmp(mode, "segv") == 0) {
        raise(SIGSEGV);
        return 125;
    }
    if (strcmp(mode, "exit139") == 0)
        return 139;
    if (strcmp(mode, "flood") == 0) {
        static char line[64 * 1024];
        memset(line, 'x', sizeof line);
        for (int i = 0; i < 50 * 1024 * 1024 / (int)sizeof line; ++i)
            if (fwrite(line, 1, sizeof line, stdout) != sizeof line)
                return 1;
        return 0;
    }
    return 125;
}
