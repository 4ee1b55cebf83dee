-- A small chat completion for every request of wrk, the HTTP load generator:
--   wrk -t2 -c128 -d20s -s examples/wrk_chat.lua http://127.0.0.1:8080/v1/chat/completions
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = '{"model": "demo-model", "messages": [{"role": "user", "content": "hello there"}]}'
