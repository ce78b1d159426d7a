# Wall times of a discovery from the host log: the instance-table lookup starts the export, the
# export is read once "Reading export file" is logged, and the reading ends with
# "Read N context records".  Usage: awk -f discovery-times.awk HOST_LOG
function t(s) { split(substr(s, 12, 15), p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
/\[FetchDBHome\] Reading Oracle instance entries/ { a = t($1) }
/\[Discover\] Reading export file/ { b = t($1) }
/\[Discover\] Read [0-9]+ context records/ { c = t($1) }
END {
  if (a && b && c)
    printf "(simulated database) export %.1f ms, reading %.1f ms\n", (b - a) * 1000, (c - b) * 1000
}
