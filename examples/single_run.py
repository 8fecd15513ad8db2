# A single run at the Planck baryon density: the result table, the two helium conventions, and the
# classic figure of the light-element mass fractions against temperature (abundances.png).
import nuvex

result = nuvex.run(Omegabh2=0.02242, tau_n=878.4, output_time_evolution=True)
print(result)
print(f"\nYp = 4 Y(He4) = {result.Yp:.5f} (BBN convention); "
      f"helium mass fraction for CMB codes = {result.Yp_mass:.5f}")
print(f"eta_10 = {nuvex.eta10(0.02242):.4f}, D/H = {result.DoH:.4e}, Neff = {result.Neff:.4f}")

ax = result.plot()
ax.figure.savefig("abundances.png", dpi=120)
print("figure written to abundances.png")
