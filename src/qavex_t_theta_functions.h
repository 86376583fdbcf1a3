// Frequency warping maps: forward (warped coordinate -> Hz), inverse and
// smallest slope, plus the B-spline machinery and the lower Lambert W branch.
#pragma once

#include <complex>
#include <cstdint>

double qavex_t_Theta_bspline(double x, double *data);
double qavex_t_Theta_inv_bspline(double nu, double *data);
double qavex_t_d_Theta_inf_bspline(double x, double *data);

double qavex_t_Theta_exp_c1_nyqu(double x, double *data);
double qavex_t_Theta_inv_exp_c1_nyqu(double nu, double *data);
double qavex_t_d_Theta_inf_exp_c1_nyqu(double x, double *data);

double qavex_t_Theta_id(double x, double *data);
double qavex_t_Theta_inv_id(double nu, double *data);
double qavex_t_d_Theta_inf_id(double x, double *data);

double qavex_t_Theta_lin(double x, double *data);
double qavex_t_Theta_inv_lin(double nu, double *data);
double qavex_t_d_Theta_inf_lin(double x, double *data);

double qavex_t_Theta_square(double x, double *data);
double qavex_t_Theta_inv_square(double nu, double *data);
double qavex_t_d_Theta_inf_square(double x, double *data);

double qavex_t_bspline_basis(std::int32_t n, double x);
double bspline_inter(double t, double *py, std::int32_t length, std::int32_t order);
std::complex<double> bspline_inter2(double t, double *px, double *py, std::int32_t length, std::int32_t order);
double bspline_inter2_first(double t, double *px, double *py, std::int32_t length, std::int32_t n);
double bspline_inter2_second(double t, double *px, double *py, std::int32_t length, std::int32_t n);

typedef double (*bspline_curve_function)(double, double *, double *, std::int32_t, std::int32_t);
double bspline_inter_inv(bspline_curve_function func, double val, double *px, double *py, std::int32_t length,
                         std::int32_t n, double left, double right, double accuracy);

double LambertW1(double z);
