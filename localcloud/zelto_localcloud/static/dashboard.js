// Times arrive in UTC (<time datetime>); they are shown in the reader's local time, UTC kept on hover.
// Pages keep themselves current without a full reload while someone is using a form: a request page
// fetches its status as JSON; the list of every request reloads only while no form field has been
// touched. Without JavaScript, a link refreshes.
(function () {
  var body = document.body;
  Array.prototype.forEach.call(document.querySelectorAll("time[datetime]"), function (element) {
    var moment = new Date(element.getAttribute("datetime"));
    if (isNaN(moment.getTime())) { return; }
    element.textContent = moment.toLocaleString(undefined, {
      year: "numeric", month: "short", day: "numeric", hour: "2-digit", minute: "2-digit", second: "2-digit",
      timeZoneName: "short"
    });
    element.setAttribute("data-local", "yes");
  });
  var touched = false;
  ["change", "input", "focusin"].forEach(function (type) {
    document.addEventListener(type, function (event) { if (event.target.form) { touched = true; } });
  });
  var listSeconds = Number(body.getAttribute("data-list-refresh") || 0);
  if (listSeconds) {
    setInterval(function () { if (!touched) { window.location.reload(); } }, listSeconds * 1000);
  }
  var statusUrl = body.getAttribute("data-status-url");
  if (!statusUrl) { return; }
  var shownStatus = body.getAttribute("data-status");
  function show(id, text, className) {
    var element = document.getElementById(id);
    if (!element) { return; }
    element.textContent = text;
    if (className !== undefined) { element.className = className; }
  }
  function update(state) {
    show("status", state.status, "status " + state.status);
    show("approvals", state.approvals);
    show("expires", state.expires);
    show("waiting", state.waiting, "waiting " + state.waiting_class);
    if (state.status !== shownStatus) {
      var notice = document.getElementById("live-notice");
      notice.textContent = state.decision + " Reload the page for the details.";
      notice.hidden = false;
      Array.prototype.forEach.call(document.querySelectorAll(".decide button"), function (button) {
        button.disabled = true;
      });
    }
  }
  setInterval(function () {
    fetch(statusUrl, {credentials: "same-origin", headers: {"Accept": "application/json"}})
      .then(function (answer) { return answer.ok ? answer.json() : null; })
      .then(function (state) { if (state) { update(state); } })
      .catch(function () {});
  }, 2000);
})();
