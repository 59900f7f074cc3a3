// A stand-in for ffmpeg that starts and then neither reads its input nor ends:
// an encoder that hangs. The recorder's stop must end all the same.
#include <unistd.h>

int main() {
  for (;;) pause();
}
