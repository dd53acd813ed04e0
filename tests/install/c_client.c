/*
 * A plain C99 program written to the VISA standard, built against the
 * installed library with pkg-config: sets the frequency and the level with
 * formatted writes and reads them back with formatted queries, under
 * whatever locale the environment selects. Prints what it read; exit status
 * 0 only when both numbers came back whole.
 */
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <visa.h>

int main(int argc, char** argv) {
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    ViStatus st;
    double hz = 0.0;
    double dbm = 0.0;
    char local[16];

    if (argc != 2) {
        fprintf(stderr, "usage: c_client RESOURCE\n");
        return 2;
    }
    setlocale(LC_ALL, "");
    /* The caller's own formatting follows its locale; the instrument's must not. */
    snprintf(local, sizeof local, "%.1f", 1.5);
    printf("locale formats 1.5 as %s\n", local);

    st = viOpenDefaultRM(&rm);
    if (st != VI_SUCCESS)
        return 1;
    st = viOpen(rm, argv[1], VI_NULL, 2000, &vi);
    if (st != VI_SUCCESS) {
        fprintf(stderr, "viOpen: %ld\n", (long)st);
        return 1;
    }
    st = viPrintf(vi, "FREQ %f GHz\n", 1.5);
    if (st != VI_SUCCESS)
        return 1;
    st = viQueryf(vi, "FREQ?\n", "%lf", &hz);
    if (st == VI_SUCCESS)
        st = viPrintf(vi, "POW %.2f\n", -12.25);
    if (st == VI_SUCCESS)
        st = viQueryf(vi, "POW?\n", "%lf", &dbm);
    printf("read back %.1f Hz and %.2f dBm (status %ld)\n", hz, dbm, (long)st);
    viClose(vi);
    viClose(rm);
    return st == VI_SUCCESS && hz == 1.5e9 && dbm == -12.25 ? 0 : 1;
}
