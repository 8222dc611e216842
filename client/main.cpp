#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc > 1 && std::strcmp(argv[1], "-v") == 0) {
    std::printf("VPNC2_1_0_54\n");
    return 0;
  }
  return 0;
}
