/* A stand-in for a benchmark program that misbehaves as STAND_IN says:
 *   hang      ignores SIGINT, SIGTERM and SIGHUP and sleeps for good
 *   segv      is killed by SIGSEGV
 *   exit139   exits with status 139, as a shell reports a SIGSEGV
 *   flood     prints 50 MB and exits 0
 *   sleep     sleeps for good, every signal acting as by default
 *   late      prints a rectangle report, then sleeps, and exits 0 on SIGTERM
 *   leave     leaves three processes sleeping and exits 0: one in a session
 *             of its own, one in its group, and that one's child in a session
 *             of its own; each prints "left PID" on standard error first
 * Its process id goes to the file STAND_IN_PID, when set. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void exit_at_once(int sig)
{
    (void)sig;
    _exit(0);
}

/* Prints its id and closes its end of the pipe: set up. */
static void left_say(int ready)
{
    fprintf(stderr, "left %d\n", (int)getpid());
    fflush(stderr);
    close(ready);
}

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
    if (strcmp(mode, "sleep") == 0)
        for (;;)
            pause();
    if (strcmp(mode, "late") == 0) {
        printf("Rectangle frame buffer test bench\nBenchmarking 80x60 size: 12.34 MPixels/second\n");
        fflush(stdout);
        signal(SIGTERM, exit_at_once);
        for (;;)
            pause();
    }
    if (strcmp(mode, "leave") == 0) {
        /* The parent exits once every one has closed the pipe's end. */
        int ready[2];
        if (pipe(ready) != 0)
            return 125;
        if (fork() == 0) {
            setsid();
            left_say(ready[1]);
            for (;;)
                pause();
        }
        if (fork() == 0) {
            if (fork() == 0) {
                setsid();
                left_say(ready[1]);
                for (;;)
                    pause();
            }
            left_say(ready[1]);
            for (;;)
                pause();
        }
        close(ready[1]);
        char byte;
        while (read(ready[0], &byte, 1) > 0) {
        }
        return 0;
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
