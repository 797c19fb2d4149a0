// pmxexport: exports scenes to PMX through the TavoPmxExport module on the headless host.
#include <cstdio>

int main(int, char**) {
  std::puts("pmxexport: not yet built");
  return 1;
}
