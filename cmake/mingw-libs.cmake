# The libraries of the Windows packer: SQLite, and static libarchive with bzip2,
# liblzma and zlib, cross-built into build/mingw-libs by tools/build-mingw-libs.sh (which
# tools/build.sh runs). Link vorlasta_mingw_archive in place of
# LibArchive::LibArchive, ZLIB::ZLIB and SQLite::SQLite3; it brings -static, so the program
# imports only Windows system DLLs.
set(VORLASTA_MINGW_LIBS "${CMAKE_SOURCE_DIR}/build/mingw-libs"
    CACHE PATH "Prefix of the cross-built libraries of the Windows packer")
if(NOT EXISTS "${VORLASTA_MINGW_LIBS}/versions")
  message(FATAL_ERROR "No cross-built libarchive in ${VORLASTA_MINGW_LIBS}: run tools/build-mingw-libs.sh")
endif()

# Global: the move test's database tool links the same SQLite.
add_library(vorlasta_mingw_archive INTERFACE IMPORTED GLOBAL)
set(_vorlasta_mingw_lib "${VORLASTA_MINGW_LIBS}/lib")
target_include_directories(vorlasta_mingw_archive INTERFACE "${VORLASTA_MINGW_LIBS}/include")
# Without these the headers declare the functions as imported from DLLs.
target_compile_definitions(vorlasta_mingw_archive INTERFACE LIBARCHIVE_STATIC LZMA_API_STATIC BZ_EXPORT)
# In dependency order; advapi32 serves libarchive's random numbers and digests.
target_link_libraries(vorlasta_mingw_archive INTERFACE
    "${_vorlasta_mingw_lib}/libsqlite3.a" "${_vorlasta_mingw_lib}/libarchive.a" "${_vorlasta_mingw_lib}/libbz2.a"
    "${_vorlasta_mingw_lib}/liblzma.a" "${_vorlasta_mingw_lib}/libz.a" advapi32)
target_link_options(vorlasta_mingw_archive INTERFACE -static)
unset(_vorlasta_mingw_lib)
