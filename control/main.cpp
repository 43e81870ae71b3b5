#include "control/receiver.h"

#ifndef RXIQ_VARIANT
#error "RXIQ_VARIANT must be 12 or 24"
#endif

int main(int argc, char** argv) {
  return receiver_main(variant_by_number(RXIQ_VARIANT), argc, argv);
}
