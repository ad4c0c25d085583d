// Table rows open their row page when clicked anywhere; the column chooser joins its ticks.
document.addEventListener("DOMContentLoaded", function () {
  document.querySelectorAll("tr[data-href]").forEach(function (tr) {
    tr.addEventListener("click", function (event) {
      if (event.target.closest("a")) return;
      window.location.href = tr.dataset.href;
    });
  });
  var form = document.getElementById("columns-form");
  if (form) {
    form.addEventListener("submit", function () {
      var chosen = Array.from(form.querySelectorAll(".column-choice:checked")).map(function (box) {
        return box.value;
      });
      document.getElementById("columns-value").value = chosen.join(",");
    });
  }
});
