/* mavo_edge/verify.h: checks mavo-edge-gpu-helper reports on the CPU, as mavo-edge-verify does.
 *
 * Link with -lmavo_edge_verify (libmavo_edge_verify.so.0). Every function is thread-safe and the
 * library keeps no state between calls: a result belongs to its caller until it is freed. The
 * seed, unit count and thread count follow mavo-edge-verify's rules: the seed is 64 bytes whose
 * first 16 are hexadecimal digits, units 1 to MAVO_EDGE_MAX_UNITS, threads 1 to
 * MAVO_EDGE_MAX_THREADS, or 0 for every hardware thread (fewer for small counts, where starting a
 * thread would cost more than it saves). Texts are byte strings with their sizes; those the
 * library returns also end in a NUL. */
#ifndef MAVO_EDGE_VERIFY_H
#define MAVO_EDGE_VERIFY_H

#include <stddef.h>
#include <stdint.h>

/* This header's version; mavo_edge_version() gives the library's. */
#define MAVO_EDGE_VERSION_MAJOR 0
#define MAVO_EDGE_VERSION_MINOR 1
#define MAVO_EDGE_VERSION_PATCH 0
#define MAVO_EDGE_VERSION "0.1.0"

/* The limits on the arguments and the report. */
#define MAVO_EDGE_MAX_UNITS 100000000
#define MAVO_EDGE_MAX_THREADS 1024
#define MAVO_EDGE_MAX_REPORT_BYTES 65536

#ifdef __cplusplus
extern "C" {
#endif

typedef enum mavo_edge_outcome {
    /* The report's digests and units are those expected (or the digests were computed). */
    MAVO_EDGE_EQUAL = 0,
    /* A well-formed report whose xor_value, sum_value or units differ. */
    MAVO_EDGE_MISMATCH = 1,
    /* Not the helper's report: the message and offset say where. */
    MAVO_EDGE_MALFORMED = 2,
    /* The seed, unit count or thread count is not acceptable. */
    MAVO_EDGE_BAD_ARGUMENTS = 3,
    /* The check could not run: no memory, or no thread could start. */
    MAVO_EDGE_FAILED = 4
} mavo_edge_outcome;

typedef enum mavo_edge_field {
    MAVO_EDGE_XOR_VALUE = 0,
    MAVO_EDGE_SUM_VALUE = 1,
    MAVO_EDGE_GPU_NAME = 2,
    MAVO_EDGE_GPU_UUID = 3,
    MAVO_EDGE_DURATION_MS = 4,
    MAVO_EDGE_UNITS = 5
} mavo_edge_field;

typedef struct mavo_edge_result mavo_edge_result;

/* The library's version, as MAVO_EDGE_VERSION writes it ("0.1.0"); a static text. */
const char* mavo_edge_version(void);

/* The digests expected for a seed and unit count: xor_value and sum_value as in the report (16
 * lower-case hex digits) and units in decimal, through mavo_edge_result_expected; the outcome is
 * MAVO_EDGE_EQUAL, or MAVO_EDGE_BAD_ARGUMENTS or MAVO_EDGE_FAILED with a message. */
mavo_edge_result* mavo_edge_expected_digests(const char* seed, size_t seed_size, uint64_t units,
                                             unsigned threads);

/* Checks one report line (LF or CR LF at its end; at most MAVO_EDGE_MAX_REPORT_BYTES) against the
 * digests expected for a seed and unit count. The arguments are checked first, then the report's
 * form, and only then are the digests computed. */
mavo_edge_result* mavo_edge_check_report(const char* report, size_t report_size, const char* seed,
                                         size_t seed_size, uint64_t units, unsigned threads);

/* NULL results (only when not even the result could be allocated) read as MAVO_EDGE_FAILED. */
mavo_edge_outcome mavo_edge_result_outcome(const mavo_edge_result* result);

/* mavo-edge-verify's words, without its name: for a mismatch its lines ("xor_value: expected ...,
 * found ...") joined by line feeds; "malformed report: <what> at byte <offset>"; why the
 * arguments were refused; "" when equal. */
const char* mavo_edge_result_message(const mavo_edge_result* result);

/* For MAVO_EDGE_MALFORMED, the offset of the first byte at fault; 0 otherwise. */
uint64_t mavo_edge_result_offset(const mavo_edge_result* result);

/* The report's value of a field (a mavo_edge_field: the digests and texts as decoded from the
 * report, the numbers in decimal), its size in *size when size is not NULL. NULL when there is no
 * report: for any result of mavo_edge_expected_digests, and for a result of mavo_edge_check_report
 * whose outcome is not MAVO_EDGE_EQUAL or MAVO_EDGE_MISMATCH; NULL too for a field out of range.
 * The texts may hold any byte, NUL included. */
const char* mavo_edge_result_found(const mavo_edge_result* result, int field, size_t* size);

/* The value expected for MAVO_EDGE_XOR_VALUE, MAVO_EDGE_SUM_VALUE or MAVO_EDGE_UNITS, once the
 * digests were computed; NULL otherwise. */
const char* mavo_edge_result_expected(const mavo_edge_result* result, int field);

void mavo_edge_result_free(mavo_edge_result* result);

#ifdef __cplusplus
}
#endif

#endif
