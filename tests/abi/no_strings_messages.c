/* A message library that loads but holds no strings: every lookup finds
 * nothing, as a library without the driver's texts would. */
__attribute__((visibility("default"))) int StringResourceLoad(unsigned id, char* buffer, int size) {
  (void)id;
  if (buffer != 0 && size > 0) buffer[0] = '\0';
  return 0;
}
