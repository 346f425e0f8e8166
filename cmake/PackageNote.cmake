# Stamps a binary with the ELF package metadata note (.note.package), the
# version source that the file inspection and the program title read back.
set(VELKARO_PACKAGE_NOTE
  "{\"name\":\"${PROJECT_NAME}\",\"version\":\"${PROJECT_VERSION}\",\"vendor\":\"${VELKARO_VENDOR}\"}")

function(velkaro_package_note target)
  # -Xlinker passes the JSON as one argument; -Wl, would split it at commas.
  target_link_options(${target} PRIVATE "SHELL:-Xlinker '--package-metadata=${VELKARO_PACKAGE_NOTE}'")
endfunction()
