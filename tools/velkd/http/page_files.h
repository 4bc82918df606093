// The live page's files (tools/velkd/page), built into velkd.
#ifndef VELKD_PAGE_FILES_H
#define VELKD_PAGE_FILES_H

#include <stddef.h>

namespace velkd {

struct PageFile {
  const char* name;  // "index.html", "page.js", ...
  const unsigned char* data;
  size_t size;
};

extern const PageFile kPageFiles[];
extern const size_t kPageFileCount;

}  // namespace velkd

#endif
