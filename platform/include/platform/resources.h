// The application's bundled resources: images by name and localised strings.
// They are read from the resource directory: the one given to
// setResourceDirectory(), else the environment variable AURA_RESOURCE_DIR,
// else <application root>/Resources.
#ifndef PLATFORM_RESOURCES_H
#define PLATFORM_RESOURCES_H

#include "platform/image.h"

#include <memory>
#include <string>

namespace platform {

void setResourceDirectory(const std::string &path);
[[nodiscard]] std::string resourceDirectory();

// The decoded image of the file `name` in the resource directory; nullptr
// when it is missing, not a PNG or damaged. Names with a path separator or
// "..", which would leave the directory, find nothing. Images are read again
// on each call: tests and drivers write their placeholders at run time.
[[nodiscard]] std::shared_ptr<const Image> imageNamed(const std::string &name);

// The value of `key` in the table `table`.strings of the resource directory
// (a property-list dictionary of strings, XML or binary); the key itself when
// the table or the key is missing or the value is not a string.
[[nodiscard]] std::string localizedString(const std::string &key, const std::string &table = "Localizable");

} // namespace platform

#endif // PLATFORM_RESOURCES_H
