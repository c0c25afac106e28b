// The queue's keyboard: j and k move the selection, a approves the selected request (or first asks for a
// confirmation it needs), d moves to its denial reason (Enter then denies), o opens it, / goes to the search
// and ? shows or hides the list of keys. Keys typed into a field are left to the field.
(function () {
  var items = Array.prototype.slice.call(document.querySelectorAll(".queue-item"));
  var help = document.getElementById("keys-help");
  if (help) { help.hidden = false; }
  var current = Math.max(0, items.findIndex(function (item) { return item.classList.contains("selected"); }));

  function select(index, scroll) {
    if (!items.length) { return; }
    current = Math.min(items.length - 1, Math.max(0, index));
    items.forEach(function (item, i) {
      item.classList.toggle("selected", i === current);
      if (i === current) { item.setAttribute("aria-current", "true"); } else { item.removeAttribute("aria-current"); }
    });
    if (scroll) { items[current].scrollIntoView({block: "nearest"}); }
  }

  function approve(item) {
    var form = item.querySelector("form.approve-form");
    if (!form) { return; }
    var unconfirmed = Array.prototype.filter.call(form.querySelectorAll("input[required]"), function (box) {
      return !box.checked;
    });
    if (unconfirmed.length) { unconfirmed[0].focus(); form.reportValidity(); return; }
    form.requestSubmit();
  }

  items.forEach(function (item, index) {
    item.addEventListener("click", function () { select(index, false); });
  });
  if (items.length && window.location.hash.indexOf("#r-") !== 0) { select(current, true); }

  document.addEventListener("keydown", function (event) {
    if (event.ctrlKey || event.metaKey || event.altKey) { return; }
    var target = event.target;
    if (target && (target.tagName === "INPUT" || target.tagName === "SELECT" || target.tagName === "TEXTAREA")) {
      if (event.key === "Escape") { target.blur(); }
      return;
    }
    var item = items[current];
    switch (event.key) {
      case "j": select(current + 1, true); break;
      case "k": select(current - 1, true); break;
      case "a": if (item) { approve(item); } break;
      case "d": if (item) { item.querySelector("input.deny-reason").focus(); } break;
      case "o": if (item) { window.location.href = item.querySelector("a.open").href; } break;
      case "/": document.getElementById("search").focus(); break;
      case "?": if (help) { help.hidden = !help.hidden; } break;
      default: return;
    }
    event.preventDefault();
  });
})();
