# Plot of the load runs: requests per second and p99 latency against the number of sessions.
# Called by scripts/bench with datafile (columns: sessions, requests/s, p99 of all requests, then
# p99 of buy, sell, history, address add, address rewrite, in ms) and outfile set.
set terminal pngcairo size 900,760 font "sans,10"
set output outfile
set multiplot layout 2,1
set logscale x 2
set xtics (1, 2, 4, 8, 16)
set xrange [0.8:20]
set grid
set key top left

set title "Throughput"
set ylabel "requests per second"
set yrange [0:*]
plot datafile using 1:2 with linespoints lw 2 pt 7 title "all sessions together"

set title "p99 latency, request written to prompt read"
set xlabel "sessions at once"
set ylabel "ms"
plot datafile using 1:3 with linespoints lw 2 pt 7 title "all requests", \
     datafile using 1:4 with linespoints pt 5 title "buy", \
     datafile using 1:5 with linespoints pt 9 title "sell", \
     datafile using 1:6 with linespoints pt 11 title "history", \
     datafile using 1:7 with linespoints pt 13 title "address add", \
     datafile using 1:8 with linespoints pt 3 title "address rewrite"
unset multiplot
