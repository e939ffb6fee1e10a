// What accessibility clients (screen readers, through AT-SPI) see of the
// kit's controls that are not plain Qt widgets: the hyperlink button is a
// link; the text field with inline links is a button whose children are its
// links.
#pragma once

namespace ostrelui {

/// Installs the kit's accessibility factory (once per process). The kit's
/// controls call it when they are made.
void installAccessibilityFactory();

}  // namespace ostrelui
