# The Debian package: the whole install under /usr, its dependencies worked
# out by dpkg-shlibdeps from the binaries it holds. scripts/package builds it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Stereo audio effect: grains, gliding delays and velvet reverberation")
set(CPACK_PACKAGE_DESCRIPTION "Orvane cuts its input into crossfading grains, sends them through three \
gliding, modulated delay streams with feedback, blends in a velvet-noise reverberation, filters, mixes \
with the dry signal, wobbles the output and soft-clips it. This package holds the effect as an LV2 \
plug-in, a VST3 plug-in, a CLAP plug-in and a plug-in bundle, the orvane-render file renderer, the orvane-editor window and the \
Orvane application.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orvane developers <dev@orvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own shared libraries are found inside the package, not as dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/platform/foundation
    ${CMAKE_BINARY_DIR}/platform/audiounit ${CMAKE_BINARY_DIR}/platform/ui)
# jalv runs Orvane Live.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core, jalv")
# ...and reaches the sound card through a JACK server or PipeWire's JACK layer.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pipewire-jack | jackd2")
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Free software under the GPL, version 3 or later; Debian looks for the
# licence here.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian-copyright DESTINATION share/doc/orvane RENAME copyright)
include(CPack)
