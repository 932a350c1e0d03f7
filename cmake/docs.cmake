# The API reference: Doxygen over the public headers, HTML in <build>/docs/html
# (target docs, not built by default). Every public declaration must be documented
# with a /// comment: a warning fails the target. Without doxygen there is no target.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "API reference: no target docs (doxygen not found)")
  return()
endif()
set(DOXYGEN_PROJECT_NAME "libzavrin")
set(DOXYGEN_PROJECT_BRIEF "Base library of the Zavrin network-management system")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_GENERATE_HTML YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_STRIP_FROM_PATH ${PROJECT_SOURCE_DIR}/include)
set(DOXYGEN_STRIP_FROM_INC_PATH ${PROJECT_SOURCE_DIR}/include)
set(DOXYGEN_FULL_PATH_NAMES YES)
set(DOXYGEN_EXTRACT_ALL NO)
set(DOXYGEN_EXTRACT_PRIVATE NO)
set(DOXYGEN_EXTRACT_STATIC NO)
set(DOXYGEN_HIDE_UNDOC_CLASSES NO)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_IF_DOC_ERROR YES)
set(DOXYGEN_WARN_NO_PARAMDOC NO)
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
set(DOXYGEN_QUIET YES)
# A group comment (///@{ ... ///@}) documents each member of the group: one
# comment over the command codes, the flag bits or the fields of a record.
set(DOXYGEN_DISTRIBUTE_GROUP_DOC YES)
# The first sentence of each comment is its summary.
set(DOXYGEN_JAVADOC_AUTOBRIEF YES)
set(DOXYGEN_SORT_MEMBER_DOCS NO)
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED "__cplusplus" "ZAVRIN_EXPORT=" "ZAVRIN_C_BEGIN=" "ZAVRIN_C_END=")
set(DOXYGEN_SEARCH_INCLUDES NO)
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/docs/api.md)
doxygen_add_docs(docs
  ${PROJECT_SOURCE_DIR}/docs/api.md
  ${PROJECT_SOURCE_DIR}/include/zavrin.h
  ${PROJECT_SOURCE_DIR}/include/zavrin
  COMMENT "API reference: ${PROJECT_BINARY_DIR}/docs/html/index.html")
