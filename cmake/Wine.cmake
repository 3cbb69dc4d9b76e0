# tevgen_wine_environment(<var> <windows-build-folder>): sets <var> to the
# environment of every test run under Wine: the Wine prefix kept in the
# Windows build's folder (one prefix, made once, for all its tests) and no
# Wine debug output.
function(tevgen_wine_environment var build_folder)
  set(${var} "WINEPREFIX=${build_folder}/wineprefix" "WINEDEBUG=-all"
    PARENT_SCOPE)
endfunction()
