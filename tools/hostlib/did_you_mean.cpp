#include "did_you_mean.h"

#include <ctype.h>

#include <algorithm>

namespace hostlib {
namespace {

// Edits between two words: insertions, deletions, changes and swaps of
// neighbours, case ignored.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1, 0));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  const auto same = [](char x, char y) {
    return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
  };
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::string ClosestName(const std::string& word, const std::vector<std::string>& choices) {
  // Nobody mistypes a whole page; a long word would only cost time.
  if (word.empty() || word.size() > 64) return "";
  const std::string* best = nullptr;
  size_t bestDistance = 0;
  for (const std::string& choice : choices) {
    if (choice.size() > 64) continue;
    const size_t distance = Distance(word, choice);
    if (best == nullptr || distance < bestDistance) {
      best = &choice;
      bestDistance = distance;
    }
  }
  if (best == nullptr || bestDistance > std::max<size_t>(1, word.size() / 3)) return "";
  return *best;
}

std::string DidYouMean(const std::string& word, const std::vector<std::string>& choices) {
  const std::string closest = ClosestName(word, choices);
  return closest.empty() ? "" : "; did you mean '" + closest + "'?";
}

}  // namespace hostlib
