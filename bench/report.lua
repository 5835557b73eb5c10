-- wrk script: prints one machine-readable line at the end of a run, read by
-- bench/run.sh. Latencies are in microseconds.
--   RESULT requests=N duration_us=N bytes=N errors=N non2xx=N p50=N p90=N p99=N
-- With BENCH_BODY_BYTES=N (N > 0) in the environment every request is a POST
-- with an N-byte body: the upload scenarios.
local body_bytes = tonumber(os.getenv("BENCH_BODY_BYTES") or "") or 0
if body_bytes > 0 then
   wrk.method = "POST"
   wrk.body = string.rep("x", body_bytes)
   wrk.headers["Content-Type"] = "application/octet-stream"
end

done = function(summary, latency, requests)
   local e = summary.errors
   io.write(string.format(
      "RESULT requests=%d duration_us=%d bytes=%d errors=%d non2xx=%d p50=%d p90=%d p99=%d\n",
      summary.requests, summary.duration, summary.bytes,
      e.connect + e.read + e.write + e.timeout, e.status,
      latency:percentile(50), latency:percentile(90), latency:percentile(99)))
end
