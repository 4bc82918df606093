// The name a person probably meant, for messages about a name nobody knows:
// a type, a register, a key.
#ifndef VELK_HOSTLIB_DID_YOU_MEAN_H
#define VELK_HOSTLIB_DID_YOU_MEAN_H

#include <string>
#include <vector>

namespace hostlib {

// "; did you mean 'NAME'?" for the closest of `choices` (letters compared
// without case, a swap of two neighbours counting as one edit), when it
// lies within a third of the word's length; "" otherwise.
std::string DidYouMean(const std::string& word, const std::vector<std::string>& choices);
// The same choice alone; "" when none is close.
std::string ClosestName(const std::string& word, const std::vector<std::string>& choices);

}  // namespace hostlib

#endif
