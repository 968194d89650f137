/* Stands in for the companion program in the launch tests on Windows, where a shell script is no
 * program: appends its own file name (no folder, no ".exe") as one line to the file that the
 * variable MERVANE_LAUNCH_LOG names. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  const char* log = getenv("MERVANE_LAUNCH_LOG");
  if (argc < 1 || log == NULL) return 2;
  const char* name = argv[0];
  for (const char* c = argv[0]; *c != '\0'; ++c)
    if (*c == '/' || *c == '\\') name = c + 1;
  size_t length = strlen(name);
  if (length > 4 && (strcmp(name + length - 4, ".exe") == 0 || strcmp(name + length - 4, ".EXE") == 0)) length -= 4;
  FILE* file = fopen(log, "a");
  if (file == NULL) return 1;
  fprintf(file, "%.*s\n", (int)length, name);
  return fclose(file) == 0 ? 0 : 1;
}
