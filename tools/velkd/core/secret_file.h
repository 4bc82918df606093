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

// A broker's password from the environment variable `env` names or the
// file `file` names (password_env, password_file); empty when neither is
// set. False with a reason when the named source is missing.
bool ReadPasswordFrom(const std::string& env, const std::string& file, std::string* password, std::string* error);

// Whether the file a setting names (a secret, a CA or a certificate) can be
// read now, so that a wrong path is named with its key when the files are
// read, not found later by a library that cannot say which file it missed.
// `error`: "ca_file '/etc/ssl/x.pem' cannot be read: No such file or
// directory".
bool NamedFileReadable(const std::string& key, const std::string& path, std::string* error);

}  // namespace velkd

#endif
