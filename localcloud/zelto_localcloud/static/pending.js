(function () {
  var bar = document.querySelector(".who");
  if (!bar || !window.fetch) { return; }
  var title = document.title.replace(/^\(\d+\) /, "");
  var canNotify = "Notification" in window;
  if (canNotify && Notification.permission === "default") {
    var button = document.createElement("button");
    button.type = "button";
    button.id = "notify-permission";
    button.textContent = "Notify me of new requests";
    button.style.marginLeft = "0.5rem";
    button.addEventListener("click", function () {
      Notification.requestPermission().then(function () { button.remove(); });
    });
    bar.appendChild(button);
  }
  function notify(state) {
    var seen = sessionStorage.getItem("zelto-newest-seen");
    sessionStorage.setItem("zelto-newest-seen", state.newest || "");
    if (seen === null || !state.newest || state.newest === seen) { return; }
    if (!canNotify || Notification.permission !== "granted") { return; }
    var note = new Notification("Approval needed: " + state.newest_tool,
                                {body: state.pending + " waiting for you", tag: state.newest});
    note.onclick = function () {
      window.focus();
      window.location.href = "/approvals?request=" + encodeURIComponent(state.newest);
    };
  }
  function poll() {
    fetch("/approvals/pending-count", {credentials: "same-origin", headers: {"Accept": "application/json"}})
      .then(function (answer) { return answer.ok ? answer.json() : null; })
      .then(function (state) {
        if (!state) { return; }
        document.title = (state.pending ? "(" + state.pending + ") " : "") + title;
        notify(state);
      })
      .catch(function () {});
  }
  poll();
  setInterval(poll, 5000);
})();
