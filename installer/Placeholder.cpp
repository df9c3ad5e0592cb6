// Keeps qmh_installer_core non-empty until the installer's own sources land.
