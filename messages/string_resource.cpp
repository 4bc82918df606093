// Placeholder until the message texts are written.
extern "C" __attribute__((visibility("default"))) int StringResourceLoad(unsigned, char* buffer, int size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return 0;
}
