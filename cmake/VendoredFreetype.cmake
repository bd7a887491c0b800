# SPDX-License-Identifier: MIT
# FreeType built from a release kept in third_party/freetype, in place of the
# one find_package(Freetype) finds (a board SDK's own, or the host's).
#
#   updater_vendored_freetype(RELEASE LEAN)
#
# unpacks freetype-RELEASE.tar.xz into the build tree at configure time (its
# hash checked against third_party/freetype/SHA256SUMS), compiles it into the
# static library updater_freetype and makes Freetype::Freetype stand for it,
# so every target that links FreeType gets this release.
#
# LEAN OFF: the release as its own makefiles build it by default, the module
# set of its modules.cfg and the options of its ftoption.h (the zlib it needs
# is its own copy; no libpng, bzip2, brotli or HarfBuzz).
# LEAN ON: only what the program loads glyphs with (below), every module
# option left as released except the ones for formats and features the
# program never asks for, so the glyphs come out as in the full build,
# compiled for size (-Os): FreeType's glyph loading and rendering are integer
# arithmetic, so the optimisation level changes no pixel.

set(UPDATER_FREETYPE_DIR ${CMAKE_CURRENT_LIST_DIR}/../third_party/freetype)

# The modules of the lean build: directory under src/, the type of its class
# and the class as FreeType's module list names them. The TrueType driver
# loads the outlines and runs their hinting, sfnt reads the tables (the
# Unicode character map and the embedded bitmap strikes among them), smooth
# renders the 8-bit coverage. The auto-hinter hints the glyphs of a font
# that carries no hinting instructions, as the full build does; its CJK
# writing systems stay in, as released, since the glyphs no writing system
# claims, the font's missing-glyph shape among them, are hinted as CJK when
# they are there and left unhinted when not.
set(UPDATER_FREETYPE_LEAN_MODULES
  "truetype FT_Driver_ClassRec tt_driver_class"
  "sfnt FT_Module_Class sfnt_module_class"
  "smooth FT_Renderer_Class ft_smooth_renderer_class"
  "autofit FT_Module_Class autofit_module_class")

# Options of the lean build turned off. None of them changes how a TrueType
# glyph is loaded, hinted or rendered under FT_LOAD_RENDER: compressed fonts
# (gzip, LZW), the Macintosh resource-fork and glyph-name look-ups, colour
# glyphs (only drawn with FT_LOAD_COLOR), variation fonts' axes, name-table
# and BDF-property access, incremental loading. An option a release lacks is
# left alone.
set(UPDATER_FREETYPE_LEAN_OPTIONS_OFF
  FT_CONFIG_OPTION_USE_LZW
  FT_CONFIG_OPTION_USE_ZLIB
  FT_CONFIG_OPTION_MAC_FONTS
  FT_CONFIG_OPTION_POSTSCRIPT_NAMES
  FT_CONFIG_OPTION_ADOBE_GLYPH_LIST
  FT_CONFIG_OPTION_INCREMENTAL
  FT_CONFIG_OPTION_SVG
  TT_CONFIG_OPTION_COLOR_LAYERS
  TT_CONFIG_OPTION_POSTSCRIPT_NAMES
  TT_CONFIG_OPTION_SFNT_NAMES
  TT_CONFIG_OPTION_GX_VAR_SUPPORT
  TT_CONFIG_OPTION_BDF)

# Base files the lean modules call into beyond ftbase.c: the bitmap
# conversions of the embedded-bitmap loader.
set(UPDATER_FREETYPE_LEAN_BASE ftbitmap.c)

# The one source file of a module directory, when not named after it.
function(_updater_freetype_module_source dir out)
  set(_file ${dir})
  foreach(pair cid:type1cid gzip:ftgzip lzw:ftlzw bzip2:ftbzip2 winfonts:winfnt cache:ftcache)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 _d)
    if(_d STREQUAL dir)
      list(GET pair 1 _file)
    endif()
  endforeach()
  set(${out} src/${dir}/${_file}.c PARENT_SCOPE)
endfunction()

# Checks the archive against SHA256SUMS and unpacks it once per hash.
function(_updater_freetype_unpack release out_dir)
  set(_archive ${UPDATER_FREETYPE_DIR}/freetype-${release}.tar.xz)
  file(STRINGS ${UPDATER_FREETYPE_DIR}/SHA256SUMS _sums REGEX " freetype-${release}\\.tar\\.xz$")
  if(NOT _sums OR NOT EXISTS ${_archive})
    message(FATAL_ERROR "FreeType ${release} is not in ${UPDATER_FREETYPE_DIR} (SHA256SUMS lists the releases kept)")
  endif()
  string(REGEX REPLACE " .*" "" _want "${_sums}")
  set(_root ${CMAKE_BINARY_DIR}/_deps)
  set(_src ${_root}/freetype-${release})
  set(_stamp ${_src}/.unpacked-${_want})
  if(NOT EXISTS ${_stamp})
    file(SHA256 ${_archive} _have)
    if(NOT _have STREQUAL _want)
      message(FATAL_ERROR "${_archive}: sha256 ${_have}, SHA256SUMS says ${_want}")
    endif()
    file(REMOVE_RECURSE ${_src})
    file(ARCHIVE_EXTRACT INPUT ${_archive} DESTINATION ${_root})
    file(TOUCH ${_stamp})
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${_archive} ${UPDATER_FREETYPE_DIR}/SHA256SUMS)
  set(${out_dir} ${_src} PARENT_SCOPE)
endfunction()

# Sources of the release's default build, as its modules.cfg lists them.
function(_updater_freetype_full_sources src out)
  file(STRINGS ${src}/modules.cfg _lines REGEX "^[A-Z_]+ *\\+=")
  set(_files)
  foreach(line ${_lines})
    if(line MATCHES "^(FONT|HINTING|RASTER|AUX)_MODULES *\\+= *([a-z0-9]+)")
      _updater_freetype_module_source(${CMAKE_MATCH_2} _file)
      list(APPEND _files ${_file})
    elseif(line MATCHES "^BASE_EXTENSIONS *\\+= *([a-z0-9]+\\.c)")
      list(APPEND _files src/base/${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} ${_files} PARENT_SCOPE)
endfunction()

# Writes a file only when its text changes, so that a new configure run does
# not rebuild the library.
function(_updater_freetype_write path text)
  file(WRITE ${path}.new "${text}")
  configure_file(${path}.new ${path} COPYONLY)
endfunction()

# The lean build's configuration headers, in cfg/freetype/config, found
# before the release's own: its module list, and its ftoption.h with the
# options above turned off.
function(_updater_freetype_lean_config src cfg out)
  set(_modules "/* The modules this program loads its glyphs with. */\n")
  set(_files)
  foreach(entry ${UPDATER_FREETYPE_LEAN_MODULES})
    separate_arguments(entry)
    list(GET entry 0 _dir)
    list(GET entry 1 _type)
    list(GET entry 2 _class)
    string(APPEND _modules "FT_USE_MODULE( ${_type}, ${_class} )\n")
    _updater_freetype_module_source(${_dir} _file)
    list(APPEND _files ${_file})
  endforeach()
  _updater_freetype_write(${cfg}/freetype/config/ftmodule.h "${_modules}")

  file(READ ${src}/include/freetype/config/ftoption.h _options)
  foreach(option ${UPDATER_FREETYPE_LEAN_OPTIONS_OFF})
    string(REGEX REPLACE "\n#define ${option}\n" "\n#undef ${option}\n" _options "${_options}")
  endforeach()
  _updater_freetype_write(${cfg}/freetype/config/ftoption.h "${_options}")

  foreach(base ${UPDATER_FREETYPE_LEAN_BASE})
    list(APPEND _files src/base/${base})
  endforeach()
  set(${out} ${_files} PARENT_SCOPE)
endfunction()

function(updater_vendored_freetype release lean)
  _updater_freetype_unpack(${release} _src)
  set(_cfg ${CMAKE_BINARY_DIR}/_deps/freetype-${release}-config)
  set(_includes ${_src}/include)
  if(lean)
    _updater_freetype_lean_config(${_src} ${_cfg} _files)
    set(_includes ${_cfg} ${_src}/include)
  else()
    _updater_freetype_full_sources(${_src} _files)
  endif()
  # The library's core and its plain-C system layer (stdio file access),
  # which every build of it needs.
  list(PREPEND _files src/base/ftsystem.c src/base/ftinit.c src/base/ftdebug.c src/base/ftbase.c)
  list(REMOVE_DUPLICATES _files)
  list(TRANSFORM _files PREPEND ${_src}/)

  add_library(updater_freetype STATIC ${_files})
  target_compile_definitions(updater_freetype PRIVATE FT2_BUILD_LIBRARY)
  # FreeType's own code is taken as released: its warnings are not ours to
  # mend. Each function in its own section, so a static link keeps only
  # what is called; the lean build for size.
  target_compile_options(updater_freetype PRIVATE -w -ffunction-sections -fdata-sections $<$<BOOL:${lean}>:-Os>)
  # SYSTEM: the program is held to its own warnings, not to those of the
  # headers, as with an SDK's installed FreeType.
  target_include_directories(updater_freetype SYSTEM PUBLIC ${_includes})
  add_library(Freetype::Freetype ALIAS updater_freetype)
  set(FREETYPE_VERSION_STRING ${release} PARENT_SCOPE)
endfunction()
