/* The checks of the C host programs: CHECK counts a failure and goes on, REQUIRE ends the program
 * with status 1. A program includes this once and ends with `return failures == 0 ? 0 : 1;`. */
#ifndef MERVANE_TESTS_C_HOST_CHECKS_H
#define MERVANE_TESTS_C_HOST_CHECKS_H

#include <stdio.h>
#include <stdlib.h>

static int failures = 0;

#define CHECK(cond)                                                              \
  do {                                                                           \
    if (!(cond)) {                                                               \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);  \
      ++failures;                                                                \
    }                                                                            \
  } while (0)

#define REQUIRE(cond)                                                            \
  do {                                                                           \
    if (!(cond)) {                                                               \
      fprintf(stderr, "%s:%d: required: %s\n", __FILE__, __LINE__, #cond);       \
      exit(1);                                                                   \
    }                                                                            \
  } while (0)

#endif
