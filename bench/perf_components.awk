# Sorts the samples of `perf script` (call chains, leaf first) into the
# program's components by the first frame that names one, and prints each
# component's share of the samples.
function component(frame) {
    if (frame ~ /vesk::sim::|SimBus|SimInstrument|SimMemory|SimFlash|SimTrace/) return "simulator (instrument side)"
    if (frame ~ /CMHX2Bin/) return "loader"
    if (frame ~ /log_event|log_file_only|append_to_file|format_file_line|format_console_line|escape_controls|CEvtLog/) return "log"
    if (frame ~ /TerminalSurface|RecordingSurface|PrintPlan|PlanJson|nlohmann/) return "surface"
    if (frame ~ /CUSBHardware|CUSBConnection|C_Vesk_USB|vesk::usb::|CVeskSemafori/) return "protocol"
    if (frame ~ /CConnection|CConnSlave|CUpdateProcedure|CFirmupFilesInfo|CDeviceInfo|Carica|Scrivi|Aggiorna/) return "procedure and writers"
    if (frame ~ /_dl_|dl_main|load_elf_binary|execve|_start_user|__libc_start|_init/) return "process start and exit"
    return ""
}
/^[^ \t]/ { if (in_sample) finish(); in_sample = 1; got = ""; next }
/^[ \t]+[0-9a-f]+ / { if (got == "") got = component($0); next }
/^$/ { if (in_sample) finish(); in_sample = 0 }
function finish() { n[got == "" ? "other (libc, kernel)" : got]++; total++; got = "" }
END {
    if (in_sample) finish()
    for (c in n) printf "  %5.1f %%  %s\n", 100 * n[c] / total, c | "sort -rn"
}
