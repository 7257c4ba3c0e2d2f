// Placeholder: shows each reading as it comes.
"use strict";
(function () {
    const token = new URLSearchParams(location.search).get("token");
    const q = token ? "?token=" + encodeURIComponent(token) : "";
    const events = new EventSource("events" + q);
    events.onmessage = function (e) {
        const r = JSON.parse(e.data);
        document.getElementById("reading").textContent = r.value + " " + r.unit + " " + r.acdc;
    };
    events.addEventListener("status", function (e) {
        document.getElementById("link").textContent = JSON.parse(e.data).link_text;
    });
})();
