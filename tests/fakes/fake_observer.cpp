// Stands in for the Enigma token's observer: a process that only has to be running, under the
// executable name the provider looks for, until the test kills it.

#include <unistd.h>

int main() {
  for (;;) ::pause();
}
