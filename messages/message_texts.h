/* The texts of the message library, one per configuration error code. This
 * list is the only place they are written: the Windows string table
 * (StringResource.rc) and the POSIX library (string_resource.cpp) both
 * expand it.
 *
 * Each text is plain ASCII without double quotes (the resource compiler
 * reads C escapes differently) and at most 510 characters, the most a host
 * receives. Adjacent literals of one text are joined by both compilers. */
#ifndef VELK_MESSAGES_MESSAGE_TEXTS_H
#define VELK_MESSAGES_MESSAGE_TEXTS_H

#define VELK_MESSAGE_TEXTS(MESSAGE)                                                                        \
  MESSAGE(11,                                                                                              \
          "The device address is not valid. Enter the module address as a number from 0 to 255, "          \
          "for example 1 or 12. To switch checksums off for this module, add a point and a number "        \
          "above 0, for example 12.1. Only digits and the point are accepted.")                            \
  MESSAGE(12,                                                                                              \
          "The tag address names no register of this module type. Begin it with a register name the "      \
          "module type offers, for example AI, DO or DISPLAY, and follow the name with a channel number "  \
          "only where the register has channels, for example AI3; a register without channels stands "     \
          "alone. Data7810 and Data7210 register names keep their upper and lower case. The first "        \
          "option after a comma of a Data7210 tag must be a number. The module type must be a known one.") \
  MESSAGE(13,                                                                                              \
          "The data type of the tag does not suit this register. Choose a data type the register "         \
          "accepts, for example float for an analog value, bit for a digital channel or word for "         \
          "DISPLAY.")                                                                                      \
  MESSAGE(14,                                                                                              \
          "The channel number is not valid. Write it in digits right after the register name and keep "    \
          "it within the register's channels, for example AI0 to AI7 on an eight-channel input module; "   \
          "a leading 0 makes the number octal. A Data7810 register without channels takes no number "      \
          "but 0. On a Data7210 the precision before the point must be 1, 2 or 3, and the second and "     \
          "third options after the commas must be numbers.")

#endif
