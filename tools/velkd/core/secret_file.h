// A password or token kept in a file of its own. Under systemd, the file is
// best handed over with LoadCredential=, which the unit's dynamic user can
// read and nobody else: a path that begins with ${CREDENTIALS_DIRECTORY}
// is read from the service's credentials, e.g.
// password_file = "${CREDENTIALS_DIRECTORY}/mqtt-password".
#ifndef VELKD_SECRET_FILE_H
#define VELKD_SECRET_FILE_H

#include <string>

namespace velkd {

// The first line of `path` (its carriage return dropped). `key` names the
// setting in the message of a failure.
bool ReadSecretFile(const std::string& key, const std::string& path, std::string* secret, std::string* error);

}  // namespace velkd

#endif
